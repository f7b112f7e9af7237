// The files installed beside the executable describe its command line as --help does: the
// manual page and the bash and zsh completions know every mode, and the completions offer
// each mode's arguments.
#include "support/TempHome.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet::test;

namespace {

const QString manualPage = QStringLiteral(GLIMMET_DIST_DIR "/glimmet-bridge.1.in");

// What a program printed on standard output; empty (and a failure) when it did not finish.
QString outputOf(const QString& program, const QStringList& args, const QString& directory = {}) {
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(program, args);
    EXPECT_TRUE(process.waitForFinished(15000)) << program.toStdString() << " did not finish";
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": "
                                     << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The mode words of --help: the options that open the entries of its "Modes:" section.
QSet<QString> helpModes() {
    const QString help = outputOf(QStringLiteral(GLIMMET_BRIDGE_PATH), {QStringLiteral("--help")});
    const QString section =
        help.section(QStringLiteral("\nModes:\n"), 1).section(QStringLiteral("\n\n"), 0, 0);
    static const QRegularExpression entry(QStringLiteral(R"(^  (-[\w-]+)(?:, (-[\w-]+))?)"),
                                          QRegularExpression::MultilineOption);
    QSet<QString> modes;
    for (const QRegularExpressionMatch& match : entry.globalMatch(section)) {
        modes << match.captured(1);
        if (match.hasCaptured(2))
            modes << match.captured(2);
    }
    return modes;
}

// The mode words of the manual page: the bold options on the tag line of each paragraph of
// its MODES section.
QSet<QString> manualModes() {
    const QString page =
        QString::fromUtf8(readFile(manualPage)).replace(QStringLiteral("\\-"), QStringLiteral("-"));
    const QString section =
        page.section(QStringLiteral("\n.SH MODES\n"), 1).section(QStringLiteral("\n.SH "), 0, 0);
    static const QRegularExpression tagLine(QStringLiteral(R"(^\.TP\n(.*)$)"),
                                            QRegularExpression::MultilineOption);
    static const QRegularExpression option(QStringLiteral(R"(\\fB(-[\w-]+)\\fR)"));
    QSet<QString> modes;
    for (const QRegularExpressionMatch& tag : tagLine.globalMatch(section)) {
        for (const QRegularExpressionMatch& match : option.globalMatch(tag.captured(1)))
            modes << match.captured(1);
    }
    return modes;
}

enum class Shell { bash, zsh };

const char* nameOf(Shell shell) {
    return shell == Shell::bash ? "bash completion (dist/completions/glimmet-bridge.bash)"
                                : "zsh completion (dist/completions/_glimmet-bridge)";
}

// The words the shell offers when Tab is pressed at the end of `line`, run in `directory`.
QSet<QString> offered(Shell shell, const QString& line, const QString& directory = {}) {
    QString output;
    if (shell == Shell::bash) {
        // bash -c SCRIPT SCRIPT_FILE WORDS...: the function the completion file registers for
        // glimmet-bridge, called as bash calls it, with the words of the line.
        static const QString script = QStringLiteral(R"(
            words=("$@")
            source "$0" || exit 1
            set -- $(complete -p glimmet-bridge)
            [ "${!#}" = glimmet-bridge ] || exit 1
            shift $(($# - 2))
            COMP_WORDS=("${words[@]}") COMP_CWORD=$((${#words[@]} - 1))
            "$1" glimmet-bridge "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
            printf '%s\n' "${COMPREPLY[@]}")");
        output = outputOf(QStringLiteral("bash"),
                          QStringList{QStringLiteral("--norc"), QStringLiteral("-c"), script,
                                      QStringLiteral(GLIMMET_DIST_DIR "/completions/glimmet-bridge.bash")} +
                              line.split(u' '),
                          directory);
    } else {
        output = outputOf(QStringLiteral("zsh"),
                          {QStringLiteral("-f"), QStringLiteral(GLIMMET_ZSH_COMPLETE),
                           QStringLiteral(GLIMMET_DIST_DIR "/completions"), line},
                          directory);
    }
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    return {lines.begin(), lines.end()};
}

std::string listed(const QSet<QString>& words) {
    QStringList sorted = words.values();
    sorted.sort();
    return sorted.join(u' ').toStdString();
}

TEST(CommandLineDocs, ManualPageDescribesEveryModeOfHelp) {
    const QSet<QString> help = helpModes();
    ASSERT_TRUE(help.contains(QStringLiteral("--help")) && help.contains(QStringLiteral("--status-json")))
        << "no modes read from --help: " << listed(help);
    const QSet<QString> manual = manualModes();
    for (const QString& mode : help)
        EXPECT_TRUE(manual.contains(mode))
            << mode.toStdString() << " is a mode of --help (app/HelpText.cpp) "
            << "but has no .TP paragraph under .SH MODES in dist/glimmet-bridge.1.in";
    for (const QString& mode : manual)
        EXPECT_TRUE(help.contains(mode)) << "dist/glimmet-bridge.1.in describes " << mode.toStdString()
                                         << ", which --help (app/HelpText.cpp) does not list";
}

TEST(CommandLineDocs, CompletionsOfferEveryModeOfHelp) {
    const QSet<QString> help = helpModes();
    for (const Shell shell : {Shell::bash, Shell::zsh}) {
        const QSet<QString> modes = offered(shell, QStringLiteral("glimmet-bridge "));
        for (const QString& mode : help)
            EXPECT_TRUE(modes.contains(mode)) << nameOf(shell) << " does not offer " << mode.toStdString()
                                              << ", a mode of --help (app/HelpText.cpp)";
        for (const QString& mode : modes)
            EXPECT_TRUE(help.contains(mode)) << nameOf(shell) << " offers " << mode.toStdString()
                                             << ", which --help (app/HelpText.cpp) does not list";
    }
}

TEST(CommandLineDocs, CompletionsOfferTheArgumentsOfEachMode) {
    QTemporaryDir directory;
    ASSERT_TRUE(writeFile(directory.filePath(QStringLiteral("frame.png")), "png"));
    const struct {
        const char* line;
        const char* expected; // the words offered, sorted
    } cases[] = {
        {"glimmet-bridge --install-hooks ", "all claude codex"},
        {"glimmet-bridge --uninstall-hooks c", "claude codex"},
        {"glimmet-bridge --hook ", "claude codex"},
        {"glimmet-bridge --test-pet boba ", "claude codex"},
        {"glimmet-bridge --preview-market us-A", "us-AAPL"},
        {"glimmet-bridge --preview-btc fr", "frame.png"},
        {"glimmet-bridge --preview-market btc-usd fr", "frame.png"},
        {"glimmet-bridge --self-test ", ""},
    };
    for (const Shell shell : {Shell::bash, Shell::zsh}) {
        for (const auto& c : cases)
            EXPECT_EQ(listed(offered(shell, QString::fromUtf8(c.line), directory.path())), c.expected)
                << nameOf(shell) << ", after \"" << c.line << "\"";
    }
}

} // namespace
