#include "support/FakeHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs the executable as an agent would, with its own HOME; standard input stays open when
// `input` is absent.
Outcome runBridge(const QString& home, const QStringList& args, const std::optional<QByteArray>& input,
                  const QString& bridgeUrl = QString()) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("GLIMMET_BRIDGE_URL", bridgeUrl);
    process.setProcessEnvironment(env);
    process.start(GLIMMET_BRIDGE_PATH, args);
    if (input) {
        process.write(*input);
        process.closeWriteChannel();
    }
    EXPECT_TRUE(process.waitForFinished(10000));
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

QJsonObject jsonObject(const QByteArray& json) {
    return QJsonDocument::fromJson(json).object();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (bytes != "<absent>") {
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
}

TEST(HookForwarder, PostsTheEventEachPayloadStandsFor) {
    struct Case {
        QStringList args;
        QByteArray input, posted; // nothing posted when empty
    };
    const Case cases[] = {
        {{"claude"},
         R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"ls"}})",
         R"({"agent":"claude","event":"PreToolUse"})"},
        {{"claude"},
         R"({"hook_event_name":"Notification","message":"Claude needs your permission to use Bash"})",
         R"({"agent":"claude","event":"Notification","message":"Claude needs your permission to use Bash"})"},
        {{"codex", R"({"type":"agent-turn-complete","turn-id":"7","last-assistant-message":"done"})"},
         "",
         R"({"agent":"codex","event":"Stop"})"},
        {{"claude"}, "{not json", ""},
    };
    FakeHttpServer bridge;
    bridge.setJson("/event", R"({"ok":true})");
    QTemporaryDir home;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.isEmpty() ? c.args.join(' ').toStdString() : c.input.toStdString());
        const qsizetype before = bridge.requests().size();
        const Outcome run =
            runBridge(home.path(), QStringList{"--hook"} << c.args, c.input, bridge.baseUrl());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "") << "agents feed a hook's output back to the model";
        const QList<RecordedRequest> requests = bridge.requests().mid(before);
        ASSERT_EQ(requests.size(), c.posted.isEmpty() ? 0 : 1) << run.err.constData();
        if (!c.posted.isEmpty()) {
            EXPECT_EQ(requests[0].method, "POST");
            EXPECT_EQ(requests[0].path, "/event");
            EXPECT_EQ(jsonObject(requests[0].body), jsonObject(c.posted));
        } else {
            EXPECT_EQ(run.err.count('\n'), 1) << run.err.constData();
        }
    }
}

TEST(HookForwarder, GivesUpQuietlyWithinItsDeadline) {
    FakeHttpServer silent;
    silent.setResponse("/event", FakeResponse{200, "", {}, 0, true});
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const QString closed = QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    const QByteArray stop = R"({"hook_event_name":"Stop"})";
    const struct {
        const char* name;
        QString url;
        std::optional<QByteArray> input;
    } cases[] = {
        {"no bridge listening", closed, stop},
        {"a bridge that never answers", silent.baseUrl(), stop},
        {"standard input never closes", silent.baseUrl(), std::nullopt},
    };
    QTemporaryDir home;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QElapsedTimer timer;
        timer.start();
        const Outcome run = runBridge(home.path(), {"--hook", "claude"}, c.input, c.url);
        // The agent's budget is 2 s; the bound here only has to catch a forwarder that hangs.
        EXPECT_LT(timer.elapsed(), 4000);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.constData();
    }
}

TEST(HookInstaller, MergesIsIdempotentRefusesBadFilesAndUninstallsExactly) {
    const QString executable = QFileInfo(GLIMMET_BRIDGE_PATH).canonicalFilePath();
    const QString command = executable + " --hook claude";
    const QByteArray notify = "notify = [\"" + executable.toUtf8() + "\", \"--hook\", \"codex\"]";
    struct Case {
        const char* name;
        QByteArray settings, config;
        int exitCode;
        QByteArray configAfter; // NOTIFY stands for this executable's notify line
    };
    const Case cases[] = {
        {"other hooks and keys",
         R"({"model":"opus","env":{"A":"1"},"hooks":{"PreToolUse":[{"matcher":"Bash","hooks":[{"type":"command","command":"echo mine"}]}]}})",
         "model = \"o3\"\ntext = \"\"\"\n[not a table]\n\"\"\"\nlist = [\n  [1, 2],\n]\n[tui]\nnotify = "
         "true\n",
         0,
         "model = \"o3\"\ntext = \"\"\"\n[not a table]\n\"\"\"\nlist = [\n  [1, "
         "2],\n]\nNOTIFY\n[tui]\nnotify = true\n"},
        {"no files yet", "<absent>", "<absent>", 0, "NOTIFY\n"},
        {"Codex runs its own notify program", "{}", "notify = [\"say\"]\n", 0, "notify = [\"say\"]\n"},
        {"settings are a JSON array", "[1]", "", 1, "NOTIFY\n"},
        {"settings are not JSON", R"({"model":)", "", 1, "NOTIFY\n"},
        {"hooks are not an object", R"({"hooks":[]})", "", 1, "NOTIFY\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir home;
        const QString settings = home.path() + "/.claude/settings.json";
        const QString config = home.path() + "/.codex/config.toml";
        writeFile(settings, c.settings);
        writeFile(config, c.config);
        const bool validSettings = c.exitCode == 0;

        const Outcome first = runBridge(home.path(), {"--install-hooks"}, QByteArray());
        EXPECT_EQ(first.exitCode, c.exitCode) << first.err.constData();
        EXPECT_EQ(readFile(config), QByteArray(c.configAfter).replace("NOTIFY", notify));
        if (c.config != c.configAfter) {
            EXPECT_TRUE(first.out.contains(notify)) << "a notify of its own is kept, and ours is shown";
        }
        if (validSettings) {
            QJsonObject wired = jsonObject(readFile(settings));
            const QJsonObject hooks = wired.take("hooks").toObject();
            EXPECT_EQ(hooks.size(), 14);
            QJsonObject original = jsonObject(c.settings);
            const QJsonObject originalHooks = original.take("hooks").toObject();
            EXPECT_EQ(wired, original) << "other keys stay as they were";
            for (const QString& event : hooks.keys()) {
                QJsonArray list = hooks[event].toArray();
                EXPECT_EQ(list.last()["hooks"][0]["command"].toString(), command) << event.toStdString();
                list.removeLast();
                EXPECT_EQ(list, originalHooks[event].toArray()) << "the user's hooks stay first";
            }
            if (c.settings != "<absent>") {
                EXPECT_EQ(readFile(settings + ".bak"), c.settings);
            }
        } else {
            EXPECT_EQ(readFile(settings), c.settings);
            EXPECT_FALSE(QFile::exists(settings + ".bak"));
            EXPECT_TRUE(first.err.contains(settings.toUtf8())) << first.err.constData();
        }

        const QByteArray wiredSettings = readFile(settings), wiredConfig = readFile(config);
        const Outcome again = runBridge(home.path(), {"--install-hooks", "all"}, QByteArray());
        EXPECT_EQ(again.exitCode, c.exitCode);
        EXPECT_EQ(readFile(settings), wiredSettings);
        EXPECT_EQ(readFile(config), wiredConfig);
        if (validSettings) {
            EXPECT_EQ(again.out.count("nothing changed"), 2) << again.out.constData();
        }

        EXPECT_EQ(runBridge(home.path(), {"--uninstall-hooks"}, QByteArray()).exitCode, c.exitCode);
        EXPECT_EQ(readFile(config), c.config == "<absent>" ? "" : c.config);
        if (validSettings) {
            EXPECT_EQ(jsonObject(readFile(settings)), jsonObject(c.settings));
        }
    }

    // The hooks of an executable since moved are replaced, and uninstalling takes them away too.
    QTemporaryDir home;
    const QString settings = home.path() + "/.claude/settings.json",
                  config = home.path() + "/.codex/config.toml";
    writeFile(
        settings,
        R"({"hooks":{"Stop":[{"hooks":[{"type":"command","command":"/old/glimmet-bridge --hook claude"}]}]}})");
    writeFile(config, R"(notify = ["/old/glimmet-bridge", "--hook", "codex"])"
                      "\n");
    EXPECT_EQ(runBridge(home.path(), {"--install-hooks"}, QByteArray()).exitCode, 0);
    const QJsonArray stop = jsonObject(readFile(settings)).value("hooks")["Stop"].toArray();
    ASSERT_EQ(stop.size(), 1);
    EXPECT_EQ(stop[0]["hooks"][0]["command"].toString(), command);
    EXPECT_EQ(readFile(config), notify + "\n");
    EXPECT_EQ(runBridge(home.path(), {"--uninstall-hooks"}, QByteArray()).exitCode, 0);
    EXPECT_EQ(jsonObject(readFile(settings)), QJsonObject());
    EXPECT_EQ(readFile(config), "");
}

} // namespace
