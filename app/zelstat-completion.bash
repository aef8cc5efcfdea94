# Completion of zelstat's command line in bash: its commands, the options of each, the values
# of --progress and --slot, and file or folder names after the options that take them. Table
# and field names are not completed: that would open the database at every Tab.

# The options each command takes, as zelstat's parser accepts them.
_zelstat_options()
{
    local source='--db --table --sql --param --timeout --output'
    local passes='--scale --classes --progress --spool-memory --no-spool --on-server'
    case $1 in
    fields) echo "$source --all --json" ;;
    summary) echo "$source --field $passes --json" ;;
    classes) echo "$source --field $passes --slot --json --csv" ;;
    describe) echo "$source --fields --by --percentiles --json --csv --png --progress" ;;
    report) echo '--db --table --sql --param --timeout --field --scale --classes --spool-memory
                  --no-spool --on-server --out' ;;
    gui) echo '--db --screenshot' ;;
    esac
}

_zelstat()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W 'fields summary classes describe report gui help version
                                 --help --version' -- "$cur"))
        return
    fi
    case $prev in
    --db | --png | --output)
        # One name a line, so that a name with blanks stays one word.
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return ;;
    --out | --screenshot)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return ;;
    --progress)
        COMPREPLY=($(compgen -W 'prompt always never' -- "$cur"))
        return ;;
    --slot)
        COMPREPLY=($(compgen -W '0 1 2 3 4 5 6 7' -- "$cur"))
        return ;;
    --table | --sql | --param | --field | --fields | --by | --percentiles | --scale | \
        --classes | --spool-memory | --timeout)
        return ;;
    esac
    # An option is offered once, as zelstat refuses one given twice; --param takes one a
    # parameter.
    local option word offered=()
    for option in $(_zelstat_options "${COMP_WORDS[1]}"); do
        for word in "${COMP_WORDS[@]:2:COMP_CWORD-2}"; do
            [[ $option == --param ]] && break
            [[ $word == "$option" ]] && continue 2
        done
        offered+=("$option")
    done
    COMPREPLY=($(compgen -W "${offered[*]} --help" -- "$cur"))
}

complete -F _zelstat zelstat
