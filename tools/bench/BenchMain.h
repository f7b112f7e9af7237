#pragma once

#include <QByteArray>
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <type_traits>

namespace glimmet::bench {

// The body of a benchmark's main(): an application object of type App (QCoreApplication for
// event loops; a QGuiApplication, offscreen, where fonts or images are needed), then every
// benchmark the command line selects.
template <class App> int runBenchmarks(int argc, char** argv) {
    if constexpr (!std::is_same_v<App, QCoreApplication>)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    App app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace glimmet::bench
