#!/usr/bin/env bash
# zelstat's manual page and bash completion as installed: both land where man and
# bash-completion look, the manual renders, and the completion offers what the program's
# parser accepts. Usage: ZelstatShellTest.sh BUILD_DIR ZELSTAT
set -euo pipefail
build=$1 zelstat=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" --component zelstat_shell >/dev/null
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The words the completion offers for the command line "$@", the cursor on the last word,
# each ended with a bar.
complete_words() {
    COMP_WORDS=(zelstat "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _zelstat
    ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' '|'
}

# The completion.
completion=$prefix/share/bash-completion/completions/zelstat
source "$completion" || fail "$completion cannot be sourced"
expect() { # expect WANTED WORDS...
    local got
    got=$(complete_words "${@:2}")
    [[ $got == "$1" ]] || fail "zelstat ${*:2}<Tab> offers '$got', not '$1'"
}
expect 'describe|' de
expect 'classes|' cl
expect '--param|--percentiles|--png|--progress|' describe --sql q --param a=1 --p
expect 'always|never|prompt|' summary --progress ''
expect '--scale|--slot|--spool-memory|--sql|' classes --s
expect '--scale|--spool-memory|--sql|' classes --slot 3 --s
folder=$(mktemp -d -p "$prefix")
touch "$folder/data.db" "$folder/my data.db"
mkdir "$folder/pictures"
expect "$folder/data.db|" describe --output "$folder/da"
expect "$folder/my data.db|" summary --db "$folder/my"
expect "$folder/pictures|" report --out "$folder/"

# Every option the help lists that the completion offers a command, zelstat's parser
# accepts for it, and none that it refuses: given three times (the second is the first's value
# when it takes one), an accepted option is refused as given twice, another as not applying,
# both before anything is read.
options=$("$zelstat" help | grep -oE '^  (-h, )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u)
for command in fields summary classes describe report gui; do
    offered="|$(complete_words "$command" '')"
    for option in $options; do
        # --param is taken once a parameter: the probe below cannot tell; it is expected above.
        [[ $option == --help || $option == --version || $option == --param ]] && continue
        error=$("$zelstat" "$command" "$option" "$option" "$option" 2>&1 >/dev/null || true)
        if [[ $error == *"given more than once"* ]]; then
            [[ $offered == *"|$option|"* ]] || fail "zelstat $command takes $option, not offered"
        elif [[ $offered == *"|$option|"* ]]; then
            fail "zelstat $command does not take $option, yet it is offered: $error"
        fi
    done
done

# The manual page.
manual=$prefix/share/man/man1/zelstat.1
if [[ ! -s $manual ]] && ! command -v help2man >/dev/null; then
    echo "help2man is missing: no manual page was made"
elif [[ ! -s $manual ]]; then
    fail "no manual page at $manual"
elif command -v man >/dev/null && command -v groff >/dev/null; then
    # Squeezed: a justified line spreads its words with more than one blank.
    page=$(MANWIDTH=80 man -l "$manual" 2>&1 | tr -s " ")
    for line in 'zelstat - descriptive statistics of database fields' \
                'zelstat summary \[SOURCE --field NAME\] \[OPTION\]...' \
                '^ +--output FILE$' 'Exit status: 0 on success'; do
        grep -qE -- "$line" <<<"$page" || fail "the manual page has no line matching '$line'"
    done
else
    echo "man or groff is missing: the manual page is not rendered"
fi
if ((failures > 0)); then
    exit 1
fi
echo "the manual page and the completion are installed and work"
