#!/usr/bin/env bash
# bash-complete.sh FILE WORD...: prints, one per line, what the completion that FILE registers
# for glimmet-bridge offers for the last WORD (empty: after a space), called as bash calls it.
source "$1" || exit 1
shift
set -- "$(complete -p glimmet-bridge)" "$@"
[[ $1 == *" -F "*" glimmet-bridge" ]] || exit 1
function=${1#* -F } function=${function%% *}
shift
COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
"$function" glimmet-bridge "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
printf '%s\n' "${COMPREPLY[@]}"
