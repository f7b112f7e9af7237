#include "hook/HookForwarder.h"

int main(int argc, char* argv[]) {
    return glimmet::forwardHook("glimmet-hook", argc - 1, argv + 1);
}
