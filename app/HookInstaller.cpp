#include "app/HookInstaller.h"

#include "common/Error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace glimmet {

namespace {

// A Claude Code release number.
struct Release {
    int major = 0, minor = 0, patch = 0;
    auto operator<=>(const Release&) const = default;
    QString text() const { return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch); }
};

// The Claude Code events that change what the clock shows, each with the first release that runs
// hooks on it. Claude Code reads a hook's output on some events ("WorktreeCreate" hands it the
// creation of the worktree), so only events where a hook that prints nothing and exits 0 leaves
// everything as it was are wired.
//
// Up to 2.1.75 a release that meets an event it does not know in settings.json ignores the whole
// file: every hook, the user's own too, and every other setting in it. Measured with the releases
// from npm, each run with `claude -p` against a fake Messages API beside a user's own hook, with
// the event added (no hook ran) on the release before the one listed and (the hook ran) on it:
// PreToolUse, PostToolUse and Notification are accepted from 1.0.23 and Stop from 1.0.31, but
// hooks first run in 1.0.38; 1.0.21 and 1.0.22 accept other event names only.
constexpr struct {
    const char* event;
    Release since;
} claudeEvents[] = {
    {"PreToolUse", {1, 0, 38}},        {"PostToolUse", {1, 0, 38}},
    {"Notification", {1, 0, 38}},      {"Stop", {1, 0, 38}},
    {"SubagentStop", {1, 0, 41}},      {"PreCompact", {1, 0, 48}},
    {"UserPromptSubmit", {1, 0, 53}},  {"SessionStart", {1, 0, 62}},
    {"SessionEnd", {1, 0, 85}},        {"SubagentStart", {2, 0, 44}},
    {"PermissionRequest", {2, 0, 45}}, {"Elicitation", {2, 1, 63}},
    {"PostCompact", {2, 1, 76}},
};

// The first release that runs hooks; without a release found, its events are wired.
constexpr Release firstHookRelease{1, 0, 38};

QStringList claudeEventsOf(const Release& release) {
    QStringList events;
    for (const auto& e : claudeEvents) {
        if (e.since <= release)
            events.append(QString::fromLatin1(e.event));
    }
    return events;
}

// The installed Claude Code: found on PATH or where its installers put it, and asked for its
// release. An empty path when none answers.
struct ClaudeCode {
    QString path;
    std::optional<Release> release;
};

ClaudeCode installedClaudeCode() {
    QStringList candidates{QStandardPaths::findExecutable(QStringLiteral("claude"))};
    for (const char* place : {"/.claude/local/claude", "/.local/bin/claude"})
        candidates.append(QDir::homePath() + QLatin1String(place));
    for (const QString& path : candidates) {
        if (path.isEmpty() || !QFileInfo(path).isExecutable())
            continue;
        QProcess process;
        process.start(path, {QStringLiteral("--version")});
        if (!process.waitForFinished(15000)) {
            process.kill();
            process.waitForFinished();
            return {path, std::nullopt};
        }
        static const QRegularExpression number(QStringLiteral(R"((\d+)\.(\d+)\.(\d+))"));
        const QRegularExpressionMatch match =
            number.match(QString::fromUtf8(process.readAllStandardOutput()));
        if (!match.hasMatch())
            return {path, std::nullopt};
        return {path,
                Release{match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt()}};
    }
    return {};
}

void say(FILE* stream, const QString& text) {
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

Error installerError(const QString& description) {
    return Error{QStringLiteral("HookInstaller"), 1, description};
}

// Claude Code runs hook commands through a shell.
QString shellQuoted(const QString& path) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    return u'\'' + QString(path).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

QString tomlString(const QString& text) {
    return u'"' + QString(text).replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\"")) +
           u'"';
}

// One agent's configuration file as it was read.
struct ConfigFile {
    QString path;
    bool exists = false;
    QByteArray bytes;
};

Result<ConfigFile> readConfig(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return ConfigFile{path, false, {}};
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(
            installerError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString())));
    return ConfigFile{path, true, file.readAll()};
}

// Replaces the file atomically. The first change keeps the original as FILE.bak; a backup
// that already exists is never overwritten.
Result<void> writeConfig(const ConfigFile& file, const QByteArray& bytes) {
    const QString backup = file.path + QStringLiteral(".bak");
    if (file.exists && !QFile::exists(backup) && !QFile::copy(file.path, backup))
        return std::unexpected(installerError(QStringLiteral("cannot keep a backup at %1").arg(backup)));
    QDir().mkpath(QFileInfo(file.path).path());
    QSaveFile out(file.path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        return std::unexpected(
            installerError(QStringLiteral("cannot write %1: %2").arg(file.path, out.errorString())));
    return {};
}

// How a JSON document was written: the keys of each object in their order and the text of each
// scalar, by path (keys and array indexes joined by '\x1f'; "" for the root).
struct JsonLayout {
    QHash<QString, QStringList> keys;
    QHash<QString, QByteArray> scalars;
};

void recordLayout(simdjson::ondemand::value value, const QString& path, JsonLayout& layout) {
    simdjson::ondemand::json_type type;
    if (value.type().get(type) != simdjson::SUCCESS)
        return;
    if (type == simdjson::ondemand::json_type::object) {
        for (auto field : value.get_object()) {
            std::string_view key;
            simdjson::ondemand::value child;
            if (field.unescaped_key().get(key) != simdjson::SUCCESS ||
                field.value().get(child) != simdjson::SUCCESS)
                return;
            QStringList& keys = layout.keys[path];
            keys.append(QString::fromUtf8(key.data(), qsizetype(key.size())));
            recordLayout(child, path + u'\x1f' + keys.last(), layout);
        }
    } else if (type == simdjson::ondemand::json_type::array) {
        int index = 0;
        for (auto element : value.get_array()) {
            simdjson::ondemand::value child;
            if (element.get(child) != simdjson::SUCCESS)
                return;
            recordLayout(child, path + u'\x1f' + QString::number(index++), layout);
        }
    } else {
        const std::string_view token = value.raw_json_token(); // plain text, no error to check
        layout.scalars.insert(path, QByteArray(token.data(), qsizetype(token.size())).trimmed());
    }
}

// A scalar as the document wrote it when it still has that value, else in Qt's own spelling.
QByteArray scalarJson(const QJsonValue& value, const QByteArray& written = {}) {
    if (const QJsonArray parsed = QJsonDocument::fromJson('[' + written + ']').array();
        !parsed.isEmpty() && parsed[0] == value)
        return written;
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

void writeJson(QByteArray& out, const QJsonValue& value, const QString& path, const JsonLayout& layout,
               int depth) {
    const QByteArray indent(2 * depth + 2, ' ');
    if (value.isObject() && !value.toObject().isEmpty()) {
        const QJsonObject object = value.toObject();
        // The keys as written first, new ones after; a new hook names its type first.
        QStringList keys = layout.keys.value(path) + QStringList{QStringLiteral("type")} + object.keys();
        keys.removeDuplicates();
        keys.removeIf([&](const QString& key) { return !object.contains(key); });
        out += "{\n";
        for (const QString& key : keys) {
            out += indent + scalarJson(key) + ": ";
            writeJson(out, object.value(key), path + u'\x1f' + key, layout, depth + 1);
            out += key == keys.last() ? "\n" : ",\n";
        }
        out += QByteArray(2 * depth, ' ') + '}';
    } else if (value.isArray() && !value.toArray().isEmpty()) {
        const QJsonArray array = value.toArray();
        out += "[\n";
        for (qsizetype i = 0; i < array.size(); ++i) {
            out += indent;
            writeJson(out, array[i], path + u'\x1f' + QString::number(i), layout, depth + 1);
            out += i + 1 == array.size() ? "\n" : ",\n";
        }
        out += QByteArray(2 * depth, ' ') + ']';
    } else {
        out += value.isObject()  ? "{}"
               : value.isArray() ? "[]"
                                 : scalarJson(value, layout.scalars.value(path));
    }
}

// `root` indented by two spaces, the way the agents write their settings, keeping the order of
// keys and the spelling of values that `original` had, so that an edit changes only what it must.
QByteArray jsonLike(const QJsonObject& root, const QByteArray& original) {
    JsonLayout layout;
    simdjson::ondemand::parser parser;
    const simdjson::padded_string padded(original.constData(), size_t(original.size()));
    simdjson::ondemand::document document;
    simdjson::ondemand::value top;
    if (parser.iterate(padded).get(document) == simdjson::SUCCESS &&
        document.get_value().get(top) == simdjson::SUCCESS)
        recordLayout(top, QString(), layout);
    QByteArray out;
    writeJson(out, root, QString(), layout, 0);
    return original.isEmpty() || original.endsWith('\n') ? out + '\n' : out;
}

// True for a hook that runs the forwarder for Claude Code (glimmet-hook, or the older
// "glimmet-bridge --hook"), from wherever it was installed (a moved executable leaves its old
// hooks behind, to be replaced), its path quoted or not.
bool isForwarder(const QJsonValue& hook) {
    static const QRegularExpression forwarder(QStringLiteral(
        R"(^(?:[^ ']*/|'(?:[^']|'\\'')*/)?(?:glimmet-hook'?|glimmet-bridge'? --hook) claude$)"));
    return forwarder.match(hook[u"command"].toString()).hasMatch();
}

// An event's hook list without the forwarder; an entry that held nothing else goes with it.
QJsonArray withoutForwarder(const QJsonArray& list) {
    QJsonArray kept;
    for (const QJsonValue& entry : list) {
        const QJsonArray hooks = entry[u"hooks"].toArray();
        QJsonArray others;
        for (const QJsonValue& hook : hooks) {
            if (!isForwarder(hook))
                others.append(hook);
        }
        if (others.size() == hooks.size()) {
            kept.append(entry);
        } else if (!others.isEmpty()) {
            QJsonObject object = entry.toObject();
            object.insert(QStringLiteral("hooks"), others);
            kept.append(object);
        }
    }
    return kept;
}

// What an edit of the hooks changed.
struct HookEdit {
    int changed = 0;      // events whose hook list changed
    QStringList takenOff; // events that ran the forwarder and no longer do
};

// Gives each of `events` one forwarder hook running `command`, after the user's own hooks, and
// takes the forwarder away from every other event (the events of an older installer, or of a
// newer release than the one installed now); events and a "hooks" object left empty go too.
Result<HookEdit> editClaudeHooks(QJsonObject& root, const QString& command, const QStringList& events) {
    const QJsonValue hooksValue = root.value(u"hooks");
    if (!hooksValue.isUndefined() && !hooksValue.isObject())
        return std::unexpected(installerError(QStringLiteral("its \"hooks\" is not an object")));
    QJsonObject hooks = hooksValue.toObject();
    const QJsonObject forwarder{
        {QStringLiteral("hooks"), QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("command")},
                                                         {QStringLiteral("command"), command}}}}};
    QStringList all = hooks.keys() + events;
    all.removeDuplicates();
    HookEdit edit;
    for (const QString& event : all) {
        const QJsonValue listValue = hooks.value(event);
        if (!listValue.isUndefined() && !listValue.isArray())
            return std::unexpected(
                installerError(QStringLiteral("its hooks for %1 are not a list").arg(event)));
        QJsonArray list = withoutForwarder(listValue.toArray());
        const bool wired = events.contains(event);
        if (wired)
            list.append(forwarder);
        if (list == listValue.toArray())
            continue;
        ++edit.changed;
        if (!wired)
            edit.takenOff.append(event);
        if (list.isEmpty())
            hooks.remove(event);
        else
            hooks.insert(event, list);
    }
    if (edit.changed > 0 && hooks.isEmpty())
        root.remove(QStringLiteral("hooks"));
    else if (edit.changed > 0)
        root.insert(QStringLiteral("hooks"), hooks);
    return edit;
}

// The events to wire for the installed Claude Code, and how to name it in the report.
struct ClaudeTarget {
    QString name;
    QStringList events;
};

ClaudeTarget claudeTarget() {
    const ClaudeCode claude = installedClaudeCode();
    if (claude.release)
        return {QStringLiteral("Claude Code ") + claude.release->text(), claudeEventsOf(*claude.release)};
    const QStringList events = claudeEventsOf(firstHookRelease);
    say(stdout, QStringLiteral("Claude Code: %1; wiring only the %2 events every release since %3 knows")
                    .arg(claude.path.isEmpty()
                             ? QStringLiteral("no claude found on PATH, in ~/.claude/local or ~/.local/bin")
                             : claude.path + QStringLiteral(" did not tell its version"),
                         QString::number(events.size()), firstHookRelease.text()));
    return {QStringLiteral("Claude Code"), events};
}

int wireClaude(const QStringList& forwarder, bool install) {
    const QString path = QDir::homePath() + QStringLiteral("/.claude/settings.json");
    QString command = shellQuoted(forwarder.first());
    for (const QString& arg : forwarder.mid(1) + QStringList{QStringLiteral("claude")})
        command += u' ' + arg;
    const auto refuse = [&](const QString& why) {
        say(stderr, QStringLiteral("Claude Code: %1 %2; left it untouched").arg(path, why));
        return 1;
    };
    const Result<ConfigFile> file = readConfig(path);
    if (!file)
        return refuse(file.error().description);
    QJsonObject root;
    if (!file->bytes.trimmed().isEmpty()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(file->bytes, &error);
        if (!document.isObject())
            return refuse(error.error == QJsonParseError::NoError
                              ? QStringLiteral("is not a JSON object")
                              : QStringLiteral("is not valid JSON (%1 at byte %2)")
                                    .arg(error.errorString())
                                    .arg(error.offset));
        root = document.object();
    }
    const ClaudeTarget target = install ? claudeTarget() : ClaudeTarget{QStringLiteral("Claude Code"), {}};
    const Result<HookEdit> edit = editClaudeHooks(root, command, target.events);
    if (!edit)
        return refuse(edit.error().description);
    const QString wired =
        QStringLiteral("%1 events: %2").arg(target.events.size()).arg(target.events.join(u", "));
    const bool wiring = install && !target.events.isEmpty();
    if (install && !wiring)
        say(stdout, QStringLiteral("%1 runs no hooks (they came with %2); nothing to wire")
                        .arg(target.name, firstHookRelease.text()));
    if (edit->changed == 0) {
        if (!install || wiring)
            say(stdout,
                QStringLiteral("%1: %2 %3; nothing changed")
                    .arg(target.name, path,
                         wiring ? QStringLiteral("already runs the glimmet-bridge hook on its ") + wired
                                : QStringLiteral("has no glimmet-bridge hook")));
        return 0;
    }
    if (const Result<void> written = writeConfig(*file, jsonLike(root, file->bytes)); !written) {
        say(stderr, QStringLiteral("Claude Code: ") + written.error().description);
        return 1;
    }
    const QString takenOff = edit->takenOff.isEmpty()
                                 ? QString()
                                 : QStringLiteral("; took it off %1").arg(edit->takenOff.join(u", "));
    say(stdout,
        wiring ? QStringLiteral("%1: %2 runs \"%3\" on %4%5").arg(target.name, path, command, wired, takenOff)
               : QStringLiteral("%1: removed \"%2\" from %3 events in %4")
                     .arg(target.name, command, QString::number(edit->changed), path));
    return 0;
}

// Where the top level of a TOML document ends (its first table header) and its top-level
// notify key, found line by line. Lines inside multi-line strings and multi-line arrays or
// inline tables are skipped, since they may start with "[" too.
struct TomlTopLevel {
    qsizetype firstTable = -1;
    qsizetype notify = -1;
};

TomlTopLevel scanTopLevel(const QStringList& lines) {
    static const QRegularExpression notifyKey(QStringLiteral(R"(^\s*(notify|"notify"|'notify')\s*=)"));
    TomlTopLevel found;
    QString openString; // the delimiter of a multi-line string still open
    int depth = 0;      // brackets and braces still open
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (openString.isEmpty() && depth == 0) {
            if (line.trimmed().startsWith(u'[')) {
                found.firstTable = i;
                return found;
            }
            if (notifyKey.match(line).hasMatch())
                found.notify = i;
        }
        for (qsizetype j = 0; j < line.size(); ++j) {
            const QChar c = line[j];
            if (!openString.isEmpty()) {
                if (c == u'\\' && openString.front() == u'"')
                    ++j;
                else if (QStringView(line).mid(j, 3) == openString) {
                    openString.clear();
                    j += 2;
                }
            } else if (c == u'#') {
                break;
            } else if ((c == u'"' || c == u'\'') && QStringView(line).mid(j, 3) == QString(3, c)) {
                openString = QString(3, c);
                j += 2;
            } else if (c == u'"' || c == u'\'') {
                for (++j; j < line.size() && line[j] != c; ++j) {
                    if (c == u'"' && line[j] == u'\\')
                        ++j;
                }
            } else if (c == u'[' || c == u'{') {
                ++depth;
            } else if (c == u']' || c == u'}') {
                --depth;
            }
        }
    }
    return found;
}

int wireCodex(const QStringList& forwarder, bool install) {
    const QString path = QDir::homePath() + QStringLiteral("/.codex/config.toml");
    QStringList program;
    for (const QString& arg : forwarder + QStringList{QStringLiteral("codex")})
        program.append(tomlString(arg));
    const QString notify = QStringLiteral("notify = [%1]").arg(program.join(QStringLiteral(", ")));
    const Result<ConfigFile> file = readConfig(path);
    if (!file) {
        say(stderr, QStringLiteral("Codex: %1; left it untouched").arg(file.error().description));
        return 1;
    }
    // The forwarder's notify line, either form, from wherever it was installed.
    static const QRegularExpression forwarderLine(QStringLiteral(
        R"(^\s*notify\s*=\s*\[\s*"(?:[^"\\]|\\.)*/(?:glimmet-hook"|glimmet-bridge"\s*,\s*"--hook")\s*,)"
        R"(\s*"codex"\s*\]\s*$)"));
    QStringList lines = QString::fromUtf8(file->bytes).split(u'\n');
    const TomlTopLevel top = scanTopLevel(lines);
    const QString current = top.notify >= 0 ? lines[top.notify] : QString();
    const bool forwards = forwarderLine.match(current).hasMatch();
    if (install && (current.trimmed() == notify || (top.notify >= 0 && !forwards))) {
        say(stdout,
            current.trimmed() == notify
                ? QStringLiteral("Codex: %1 already runs the glimmet-bridge hook; nothing changed").arg(path)
                : QStringLiteral("Codex: %1 already has a notify program of its own; nothing changed. "
                                 "To forward Codex's turns to the bridge, make it:\n%2")
                      .arg(path, notify));
        return 0;
    }
    if (!install && !forwards) {
        say(stdout, QStringLiteral("Codex: %1 has no glimmet-bridge notify; nothing changed").arg(path));
        return 0;
    }
    if (!install) {
        lines.removeAt(top.notify);
    } else if (forwards) {
        lines[top.notify] = notify;
    } else if (top.firstTable >= 0) {
        // Above the comment lines that introduce the table, so that they keep the line they describe.
        qsizetype at = top.firstTable;
        while (at > 0 && lines[at - 1].trimmed().startsWith(u'#'))
            --at;
        lines.insert(at, notify);
    } else {
        if (!lines.last().isEmpty())
            lines.append(QString());
        lines.insert(lines.size() - 1, notify);
    }
    if (const Result<void> written = writeConfig(*file, lines.join(u'\n').toUtf8()); !written) {
        say(stderr, QStringLiteral("Codex: ") + written.error().description);
        return 1;
    }
    say(stdout, install ? QStringLiteral("Codex: added to %1: %2").arg(path, notify)
                        : QStringLiteral("Codex: removed from %1: %2").arg(path, current.trimmed()));
    return 0;
}

} // namespace

int runHookInstaller(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const bool install = args.value(0) == u"--install-hooks";
    const QString agents = args.value(1, QStringLiteral("all"));
    if (agents != u"claude" && agents != u"codex" && agents != u"all") {
        say(stderr, QStringLiteral("usage: glimmet-bridge %1 [claude|codex|all]").arg(args.value(0)));
        return 2;
    }
    // The hooks run the forwarder installed beside this executable, or its "--hook" alias
    // when there is none.
    QStringList forwarder{QCoreApplication::applicationDirPath() + QStringLiteral("/glimmet-hook")};
    if (!QFileInfo(forwarder.first()).isExecutable())
        forwarder = QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--hook")};
    int status = 0;
    if (agents != u"codex")
        status |= wireClaude(forwarder, install);
    if (agents != u"claude")
        status |= wireCodex(forwarder, install);
    return status;
}

} // namespace glimmet
