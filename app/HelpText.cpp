#include "app/HelpText.h"

#include <QStandardPaths>
#include <QString>

#include <cstdio>

namespace glimmet {

namespace {

int print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int printHelp() {
    // The folders as this user's environment resolves them, so the text names the real files.
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return print(QStringLiteral(R"(Usage: glimmet-bridge [MODE]

Without a mode, runs the bridge for the Glimmet desk clock: it serves the clock on TCP port
8765 (every interface; the port is fixed) and shows a tray menu. Without a display or a tray
it runs headless and serves all the same. Stop it with Ctrl-C or from the tray menu.
Agents on other machines reach it on the same port: hook events that name their host,
relays (--relay), and OpenTelemetry exports in JSON (POST /v1/logs); GET /hosts lists them.

Modes:
  -h, --help                   print this help and exit
  --version                    print the version and exit
  --status-json                print one status document (JSON) and exit
  --self-test                  check a few built-in rules, print one line and exit
  --preview-btc OUT            write the current market frame to the file OUT and exit
  --preview-market SYMBOL OUT  the same for the instrument SYMBOL (600519, hk00700, AAPL,
                               kr005930, SPX, ...); OUT ending in .raw gets RGB565 bytes,
                               any other name a PNG
  --test-pet SLUG AGENT [HOST] build one pet animation and upload it to the clock's AGENT slot
  --hook AGENT [PAYLOAD]       forward one hook event of AGENT (claude or codex) to the
                               running bridge; the hook's JSON is PAYLOAD when given, else
                               standard input. Prints nothing on standard output, gives up
                               after 2 s and always exits 0, so it never holds up the agent.
                               The same as glimmet-hook AGENT [PAYLOAD], the small program
                               beside this one that the hooks run
  --install-hooks [claude|codex|all]
                               point the agents' hooks at glimmet-hook beside this program
                               (at its --hook without one; default all):
                               ~/.claude/settings.json, on the events the installed
                               Claude Code release runs (run it again after an upgrade),
                               and ~/.codex/config.toml; the first change keeps each old
                               file as FILE.bak
  --uninstall-hooks [claude|codex|all]
                               remove exactly what --install-hooks added
  --relay URL                  on another machine: report its agents to the bridge at URL
                               (e.g. http://desk:8765) when they change and at least every
                               30 s, retrying while the bridge is away; no tray, no port.
                               Runs until SIGTERM or Ctrl-C. A bridge reached other than
                               through loopback wants its token in GLIMMET_REMOTE_TOKEN
  --remote-token               print the token that machines other than this one send
                               ("Authorization: Bearer TOKEN") to report their agents;
                               made on first use in the file below, readable by you only

Files:
  settings      %1/Glimmet/GlimmetBridge.conf
  price cache   %2/GlimmetBridge/model-prices.json
  remote token  %1/Glimmet/remote-token (read when the bridge starts)
  logs          standard error only, one line per event ("[bridge] ...", "[http] ...");
                under the systemd user unit: journalctl --user -u glimmet-bridge
  agent logs    ~/.claude/projects and ~/.codex/sessions (read only)

Environment:
  HOME                the home folder whose agent logs and credentials are read
  XDG_CONFIG_HOME, XDG_DATA_HOME
                      the folders of the settings and the price cache above
  KIMI_CODE_API_KEY   the Kimi Code API key (else the keychain or Kimi's own files)
  GLIMMET_SERIAL_DIR  development aid: the folder searched for the clock's serial port
                      instead of /dev (a stand-in clock links a pty there)
  GLIMMET_BRIDGE_URL  where glimmet-hook and --hook post their events
                      (default http://127.0.0.1:8765)
  GLIMMET_HOOK_DEADLINE_MS
                      development aid: a shorter budget for glimmet-hook and --hook than
                      their 1.9 s
  GLIMMET_REMOTE_TOKEN
                      the token --relay sends to the bridge
  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM
                      without a display the bridge draws offscreen and runs headless

Exit status: 0 on success, 1 on failure, 2 for a wrong argument or an unknown market symbol.
)")
                     .arg(config, data));
}

int printVersion() {
    return print(QStringLiteral("glimmet-bridge " GLIMMET_VERSION "\n"));
}

} // namespace glimmet
