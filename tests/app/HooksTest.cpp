#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs an executable as an agent would, with its own HOME; standard input stays open when
// `input` is absent. The forwarder's budget is 300 ms instead of 1.9 s.
Outcome runBridge(const QString& home, const QStringList& args, const std::optional<QByteArray>& input,
                  const QString& bridgeUrl = QString(), const QString& path = "/nonexistent",
                  const QString& program = GLIMMET_BRIDGE_PATH) {
    QProcess process;
    QProcessEnvironment env; // nothing of the developer's: a hook run never reaches their settings
    env.insert("PATH", path);
    env.insert("HOME", home);
    env.insert("GLIMMET_BRIDGE_URL", bridgeUrl);
    env.insert("GLIMMET_HOOK_DEADLINE_MS", "300");
    process.setProcessEnvironment(env);
    process.start(program, args);
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

TEST(HookForwarder, PostsTheEventEachPayloadStandsForAndNeverHoldsTheAgent) {
    FakeHttpServer bridge, silent;
    bridge.setJson("/event", R"({"ok":true})");
    silent.setResponse("/event", FakeResponse{200, "", {}, 0, true});
    const QByteArray stop = R"({"hook_event_name":"Stop"})";
    const struct {
        QStringList args;
        std::optional<QByteArray> input; // standard input stays open when absent
        QString url;
        QByteArray posted; // when empty, nothing reaches the bridge and one line explains why
        QString program = GLIMMET_HOOK_PATH;
    } cases[] = {
        {{"claude"},
         R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"ls"}})",
         bridge.baseUrl(),
         R"({"agent":"claude","event":"PreToolUse"})"},
        {{"claude"},
         R"({"hook_event_name":"Notification","message":"Claude needs your permission to use Bash"})",
         bridge.baseUrl(),
         R"({"agent":"claude","event":"Notification","message":"Claude needs your permission to use Bash"})"},
        {{"codex", R"({"type":"agent-turn-complete","turn-id":"7","last-assistant-message":"done"})"},
         "",
         bridge.baseUrl(),
         R"({"agent":"codex","event":"Stop"})"},
        {{"claude"}, "{not json", bridge.baseUrl(), ""},
        {{"claude"}, stop, "http://127.0.0.1:9", ""}, // no bridge listening
        {{"claude"}, stop, silent.baseUrl(), ""},     // a bridge that never answers
        {{"claude"}, std::nullopt, bridge.baseUrl(), ""},
        {{}, stop, bridge.baseUrl(), ""}, // no agent named: still no bridge of its own
        {{"claude"}, stop, bridge.baseUrl() + "/", R"({"agent":"claude","event":"Stop"})"},
        {{"claude"}, stop, "ftp://127.0.0.1", ""},
        // The bridge's own --hook, which hooks of older installs run.
        {{"--hook", "codex", stop},
         "",
         bridge.baseUrl(),
         R"({"agent":"codex","event":"Stop"})",
         GLIMMET_BRIDGE_PATH},
        {{"--hook", "claude"}, "[]", bridge.baseUrl(), "", GLIMMET_BRIDGE_PATH},
    };
    QTemporaryDir home;
    for (const auto& c : cases) {
        SCOPED_TRACE((c.args.join(' ') + ' ' + c.input.value_or("<open>") + ' ' + c.url).toStdString());
        const qsizetype before = bridge.requests().size();
        const Outcome run = runBridge(home.path(), c.args, c.input, c.url, "/nonexistent", c.program);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "") << "agents feed a hook's output back to the model";
        const QList<RecordedRequest> requests = bridge.requests().mid(before);
        ASSERT_EQ(requests.size(), c.posted.isEmpty() ? 0 : 1) << run.err.constData();
        if (c.posted.isEmpty()) {
            EXPECT_EQ(run.err.count('\n'), 1) << run.err.constData();
        } else {
            EXPECT_EQ(requests[0].method + ' ' + requests[0].path, "POST /event");
            QJsonObject posted = jsonObject(c.posted);
            posted["host"] = QSysInfo::machineHostName(); // whose agent it is
            EXPECT_EQ(jsonObject(requests[0].body), posted);
        }
    }
}

TEST(HookInstaller, MergesIsIdempotentRefusesBadFilesAndUninstallsExactly) {
    const QString forwarder = QFileInfo(GLIMMET_HOOK_PATH).canonicalFilePath();
    const QString command = forwarder + " claude";
    const QByteArray notify = "notify = [\"" + forwarder.toUtf8() + "\", \"codex\"]";
    // Written the way the agents write it, so that uninstalling gives back the very same bytes.
    const QByteArray mine =
        "{\n  \"model\": \"opus\",\n  \"hooks\": {\n    \"PreToolUse\": [\n      {\n        \"matcher\": "
        "\"Bash\",\n"
        "        \"hooks\": [\n          {\n            \"type\": \"command\",\n            \"command\": "
        "\"echo mine\"\n"
        "          }\n        ]\n      }\n    ]\n  },\n  \"env\": {\n    \"N\": 1.5e-7\n  }\n}\n";
    const QByteArray toml = "model = \"o3\"\ntext = \"\"\"\n[not a table]\n\"\"\"\nlist = [\n  [1, 2],\n]\n";
    const struct {
        const char* name;
        QByteArray settings, config; // as found; "<absent>" for no file
        int exitCode;
        QByteArray configAfter;              // NOTIFY stands for this executable's notify line
        QByteArray settingsLeft, configLeft; // the user's own, left after uninstalling
    } cases[] = {
        {"other hooks and keys", mine, toml + "# the TUI\n[tui]\nnotify = true\n", 0,
         toml + "NOTIFY\n# the TUI\n[tui]\nnotify = true\n", mine,
         toml + "# the TUI\n[tui]\nnotify = true\n"},
        {"no files yet", "<absent>", "<absent>", 0, "NOTIFY\n", "{}\n", ""},
        {"Codex runs its own notify", "{}", "notify = [\"say\"]\n", 0, "notify = [\"say\"]\n", "{}",
         "notify = [\"say\"]\n"},
        {"an executable since moved",
         R"({"hooks":{"Stop":[{"hooks":[{"type":"command","command":"/old/glimmet-bridge --hook claude"}]}]}})",
         R"(notify = ["/old/glimmet-bridge", "--hook", "codex"])"
         "\n",
         0, "NOTIFY\n", "{}", ""},
        {"settings are a JSON array", "[1]", "", 1, "NOTIFY\n", "[1]", ""},
        {"settings are not JSON", R"({"model":)", "", 1, "NOTIFY\n", R"({"model":)", ""},
        {"hooks are not an object", R"({"hooks":[]})", "", 1, "NOTIFY\n", R"({"hooks":[]})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir home;
        const QString settings = home.path() + "/.claude/settings.json";
        const QString config = home.path() + "/.codex/config.toml";
        for (const auto& [path, bytes] : {std::pair(settings, c.settings), std::pair(config, c.config)})
            ASSERT_TRUE(bytes == "<absent>" || writeFile(path, bytes));

        const Outcome first = runBridge(home.path(), {"--install-hooks"}, QByteArray());
        EXPECT_EQ(first.exitCode, c.exitCode) << first.err.constData();
        EXPECT_EQ(readFile(config), QByteArray(c.configAfter).replace("NOTIFY", notify));
        EXPECT_TRUE(first.out.contains(notify)) << "added, or shown beside a notify of the user's own";
        if (c.exitCode == 0) {
            QJsonObject wired = jsonObject(readFile(settings)), original = jsonObject(c.settingsLeft);
            const QJsonObject hooks = wired.take("hooks").toObject(),
                              originalHooks = original.take("hooks").toObject();
            EXPECT_EQ(wired, original) << "other keys stay as they were";
            EXPECT_EQ(hooks.size(), 4) << "no claude to ask: the events of every release";
            for (const QString& event : hooks.keys()) {
                QJsonArray list = hooks[event].toArray();
                EXPECT_EQ(list.last()["hooks"][0]["command"].toString(), command) << event.toStdString();
                list.removeLast();
                EXPECT_EQ(list, originalHooks[event].toArray()) << "the user's hooks stay first";
            }
            EXPECT_EQ(readFile(settings + ".bak"), c.settings);
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
        EXPECT_EQ(again.out.count("nothing changed"), c.exitCode == 0 ? 2 : 1) << again.out.constData();

        EXPECT_EQ(runBridge(home.path(), {"--uninstall-hooks"}, QByteArray()).exitCode, c.exitCode);
        EXPECT_EQ(readFile(config), c.configLeft);
        EXPECT_EQ(readFile(settings), c.settingsLeft);
    }
}

TEST(HookInstaller, WiresTheEventsOfTheInstalledReleaseAndFollowsUpgrades) {
    const QString first = "Notification PostToolUse PreToolUse Stop";
    const QString v1 = first + " PreCompact SessionEnd SessionStart SubagentStop UserPromptSubmit";
    const QString v2 = v1 + " PermissionRequest SubagentStart", v21 = v2 + " Elicitation";
    // clang-format off
    const std::pair<QByteArray, QString> releases[] = {
        {"", first}, {"1.0.37", ""}, {"1.0.38", first}, {"1.0.128", v1}, {"2.0.44", v1 + " SubagentStart"},
        {"2.0.77", v2}, {"2.1.62", v2}, {"2.1.63", v21}, {"2.1.75", v21}, {"2.1.76", v21 + " PostCompact"},
        {"2.1.332", v21 + " PostCompact"}, {"1.0.128", v1}};
    // clang-format on
    // One user who upgrades (and once goes back), starting from a hook of an older installer.
    QTemporaryDir home;
    const QString settings = home.path() + "/.claude/settings.json";
    writeFile(settings, R"({"hooks":{"WorktreeCreate":[{"hooks":[{"type":"command","command":")" +
                            QFileInfo(GLIMMET_BRIDGE_PATH).canonicalFilePath().toUtf8() +
                            R"( --hook claude"}]}]}})");
    for (const auto& [release, events] : releases) {
        SCOPED_TRACE(release.constData());
        const QTemporaryDir bin; // PATH, with a claude that answers --version as `release` does
        if (!release.isEmpty())
            writeFile(bin.path() + "/claude", "#!/bin/sh\necho '" + release + " (Claude Code)'\n");
        QFile::setPermissions(bin.path() + "/claude", QFile::ReadOwner | QFile::ExeOwner);
        const Outcome run =
            runBridge(home.path(), {"--install-hooks", "claude"}, QByteArray(), {}, bin.path());
        QStringList expected = events.split(' ', Qt::SkipEmptyParts);
        expected.sort();
        EXPECT_EQ(jsonObject(readFile(settings))["hooks"].toObject().keys(), expected) << run.out.constData();
        EXPECT_TRUE(run.out.startsWith(release.isEmpty() ? "Claude Code: no claude found"
                                                         : "Claude Code " + release));
    }
}

// One agent at a time, from an executable whose path the shell must have quoted.
TEST(HookInstaller, OneAgentAtATimeFromAPathThatNeedsQuoting) {
    FakeHttpServer bridge;
    bridge.setJson("/event", R"({"ok":true})");
    QTemporaryDir base(QFileInfo(GLIMMET_BRIDGE_PATH).path() + "/hooks-XXXXXX"), home;
    const QString executable = base.path() + "/Bob's tools/glimmet-bridge";
    ASSERT_TRUE(QDir().mkpath(base.path() + "/Bob's tools"));
    ASSERT_EQ(::link(GLIMMET_BRIDGE_PATH, QFile::encodeName(executable).constData()), 0);
    const QString settings = home.path() + "/.claude/settings.json",
                  config = home.path() + "/.codex/config.toml";
    const QByteArray original = "{\"model\": \"opus\"}\n";
    ASSERT_TRUE(writeFile(settings, original));
    const auto run = [&](const QString& mode, const QString& agents) {
        return runBridge(home.path(), {mode, agents}, QByteArray(), {}, "/nonexistent", executable);
    };

    const Outcome invalid = run("--install-hooks", "invalid");
    EXPECT_EQ(std::tuple(invalid.exitCode, invalid.err),
              std::tuple(2, QByteArray("usage: glimmet-bridge --install-hooks [claude|codex|all]\n")));
    EXPECT_EQ(run("--install-hooks", "claude").exitCode, 0);
    EXPECT_EQ(readFile(config), "<absent>");
    // Claude Code runs the hook through the shell.
    const QJsonValue hooks = jsonObject(readFile(settings))["hooks"];
    const QString hook = hooks["Stop"][0]["hooks"][0]["command"].toString();
    EXPECT_EQ(runBridge(home.path(), {"-c", hook}, R"({"hook_event_name":"Stop"})", bridge.baseUrl(),
                        "/nonexistent", "/bin/sh")
                  .exitCode,
              0);
    const QJsonObject posted = jsonObject(bridge.requests("/event").value(0).body);
    EXPECT_EQ(posted["agent"].toString() + ' ' + posted["event"].toString(), "claude Stop");
    EXPECT_EQ(run("--install-hooks", "codex").exitCode, 0);
    EXPECT_EQ(readFile(config), "notify = [\"" + executable.toUtf8() + "\", \"--hook\", \"codex\"]\n");

    // The backup keeps the file as it was before the first change, whatever the user changed since.
    ASSERT_TRUE(writeFile(settings, readFile(settings).replace("opus", "sonnet")));
    EXPECT_EQ(run("--uninstall-hooks", "claude").exitCode, 0);
    EXPECT_EQ(readFile(settings), "{\n  \"model\": \"sonnet\"\n}\n");
    EXPECT_EQ(readFile(settings + ".bak"), original);
    EXPECT_EQ(run("--uninstall-hooks", "codex").exitCode, 0);
    EXPECT_EQ(readFile(config), "");
}

} // namespace
