#!/usr/bin/env zsh
# zsh-complete.zsh DIR LINE: prints, one per line, the words zsh offers when Tab is pressed
# after LINE in an interactive zsh (on a pseudo-terminal) that loaded the completions in DIR.
emulate -L zsh
zmodload zsh/zpty || exit 2
zpty -b shell zsh -f -i
zpty -w shell "fpath=(${(q)1} \$fpath); autoload -Uz compinit; compinit -u -D; PS1='' mark=@@"
# Every match the completion functions add is printed as "@@ WORD" (a compadd that filters
# into an array is left alone), then "@@END" once the completion is done; the markers come
# from a variable so that the echo of these lines does not contain them.
zpty -w shell '
compadd() {
    local -a hits
    if (( ${@[(I)-[OAD]]} )); then builtin compadd "$@"; return; fi
    builtin compadd -O hits "$@"
    print -rl -- "$mark "${^hits}
    builtin compadd "$@"
}
glimmet-done() { print -r -- "${mark}END" }
glimmet-complete() { comppostfuncs=(glimmet-done); zle complete-word }
zle -N glimmet-complete
bindkey "^I" glimmet-complete'
zpty -w -n shell "$2"$'\t'
local out chunk
integer deadline=$(( SECONDS + 10 ))
while [[ $out != *@@END* ]]; do
    (( SECONDS < deadline )) || { print -r -- "no completion within 10 s: ${(q+)out}" >&2; exit 3 }
    if zpty -rt shell chunk; then out+=$chunk; else sleep 0.02; fi
done
print -r -- "${out//$'\r'/}" | sed -n 's/^.*@@ \(.*\)$/\1/p' | sort -u
zpty -d shell
