# bash completion for glimmet-bridge: its modes and their arguments.

_glimmet_bridge() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W '-h --help --version --status-json --self-test
            --preview-btc --preview-market --test-pet --hook --install-hooks --uninstall-hooks
            --relay --remote-token' -- "$cur")
        return
    fi
    # The mode and the position of the word within its arguments (1 = the first).
    local words
    case ${COMP_WORDS[1]}:$((COMP_CWORD - 1)) in
    --install-hooks:1 | --uninstall-hooks:1) words='claude codex all' ;;
    --hook:1 | --test-pet:2) words='claude codex' ;;
    --preview-market:1) # the built-in instruments; any symbol the bridge can read works
        words='btc-usd eth-usd cn-sh000001 cn-sz399001 cn-sz399006 cn-sh000300 hk-HSI hk-HSCEI
            hk-HSTECH us-NDX us-INX us-DJI us-IXIC us-AAPL us-NVDA us-TSLA kr-KOSPI kr-KOSDAQ
            kr-005930' ;;
    --preview-btc:1 | --preview-market:2)
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --test-pet:3)
        mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
        return
        ;;
    --relay:1)
        compopt -o nospace
        words='http:// https://'
        ;;
    *) return ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}

complete -F _glimmet_bridge glimmet-bridge
