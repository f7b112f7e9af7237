// The files installed beside the executable describe its command line as --help does: the
// manual page and the bash and zsh completions know every mode.
#include "support/TempHome.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace {

// What a program printed on standard output, after checking that it succeeded.
QString outputOf(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    EXPECT_TRUE(process.waitForFinished(15000)) << program.toStdString() << " did not finish";
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": "
                                     << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Every match of `pattern`'s groups in the part of `text` between `from` and `to`.
QSet<QString> wordsIn(const QString& text, const QString& from, const QString& to, const QString& pattern) {
    const QString part = text.section(from, 1).section(to, 0, 0);
    QSet<QString> words;
    for (const auto& match :
         QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(part)) {
        for (int group = 1; group <= match.lastCapturedIndex(); ++group)
            words << match.captured(group);
    }
    words.remove(QString());
    return words;
}

// The options that open the entries of the "Modes:" section of --help.
QSet<QString> helpModes() {
    return wordsIn(outputOf(QStringLiteral(GLIMMET_BRIDGE_PATH), {QStringLiteral("--help")}),
                   QStringLiteral("\nModes:\n"), QStringLiteral("\n\n"),
                   QStringLiteral(R"(^  (-[\w-]+)(?:, (-[\w-]+))?)"));
}

void expectSameModes(const QSet<QString>& help, const QSet<QString>& other, const std::string& where) {
    for (const QString& mode : help)
        EXPECT_TRUE(other.contains(mode))
            << where << " lacks " << mode.toStdString() << ", a mode of --help (app/HelpText.cpp)";
    for (const QString& mode : other)
        EXPECT_TRUE(help.contains(mode))
            << where << " has " << mode.toStdString() << ", which --help (app/HelpText.cpp) does not list";
}

TEST(CommandLineDocs, ManualPageDescribesEveryModeOfHelp) {
    const QSet<QString> help = helpModes();
    ASSERT_TRUE(help.contains(QStringLiteral("--help")) && help.contains(QStringLiteral("-h")))
        << "--help lists no modes";
    // The bold options on the tag line of each paragraph of MODES.
    QString page =
        QString::fromUtf8(glimmet::test::readFile(QStringLiteral(GLIMMET_DIST_DIR "/glimmet-bridge.1.in")));
    const QSet<QString> manual = wordsIn(
        page.replace(QStringLiteral("\\-"), QStringLiteral("-")), QStringLiteral("\n.SH MODES\n"),
        QStringLiteral("\n.SH "), QStringLiteral(R"(^\.TP\n\\fB(-[\w-]+)\\fR(?:, \\fB(-[\w-]+)\\fR)?)"));
    expectSameModes(help, manual, "the MODES section of the manual page (dist/glimmet-bridge.1.in)");
}

TEST(CommandLineDocs, CompletionsOfferEveryModeOfHelp) {
    const QSet<QString> help = helpModes();
    // Tab after "glimmet-bridge ", each shell with the completion file it is installed with.
    const QString bash =
        outputOf(QStringLiteral("bash"), {QStringLiteral(GLIMMET_TESTS_DIR "/dist/bash-complete.sh"),
                                          QStringLiteral(GLIMMET_DIST_DIR "/completions/glimmet-bridge.bash"),
                                          QStringLiteral("glimmet-bridge"), QString()});
    const QString zsh =
        outputOf(QStringLiteral("zsh"),
                 {QStringLiteral("-f"), QStringLiteral(GLIMMET_TESTS_DIR "/dist/zsh-complete.zsh"),
                  QStringLiteral(GLIMMET_DIST_DIR "/completions"), QStringLiteral("glimmet-bridge ")});
    const QStringList bashWords = bash.split(u'\n', Qt::SkipEmptyParts);
    const QStringList zshWords = zsh.split(u'\n', Qt::SkipEmptyParts);
    expectSameModes(help, {bashWords.begin(), bashWords.end()},
                    "the bash completion (dist/completions/glimmet-bridge.bash)");
    expectSameModes(help, {zshWords.begin(), zshWords.end()},
                    "the zsh completion (dist/completions/_glimmet-bridge)");
}

} // namespace
