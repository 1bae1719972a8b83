# bash completion for brindle: commands, their options, and key addresses read from the
# database the command line names (--db, else $BRINDLE_DB, else the tool's default).

_brindle_commands="ls props get set unset mkkey rmkey mvkey tree export import dump load check stats repair demo codes"
_brindle_global_options="--db --wait -v --verbose --version --help"

_brindle_options() {
    case $1 in
        ls) echo "-a --all --json -0 --null" ;;
        props) echo "--full --json" ;;
        get) echo "--raw --json --default" ;;
        set) echo "-t --type --file --append --edit -f --force" ;;
        unset) echo "-f --force" ;;
        mkkey) echo "--hidden --readonly -p --parents --generate" ;;
        rmkey) echo "-f --force -n --dry-run" ;;
        tree) echo "-d --depth -p --props" ;;
        export) echo "--overwrite" ;;
        import) echo "--fresh" ;;
        dump) echo "-a --all -o --output" ;;
        load) echo "-n --dry-run --ignore-flags" ;;
        check | stats) echo "--json" ;;
        repair) echo "--in-place -o --output" ;;
        codes) echo "--markdown" ;;
    esac
}

# Key addresses below the part already typed: "App/ne" lists the sub keys of App.
_brindle_keys() {
    local typed=$1 parent="" prefix=""
    if [[ $typed == */* ]]; then
        parent=${typed%/*}
        prefix="$parent/"
    fi
    local names
    names=$("${_brindle_tool[@]}" ls -- "$parent" 2>/dev/null) || return
    local IFS=$'\n'
    local name
    for name in $names; do
        [[ $name == *\\* ]] && continue  # escaped names cannot be typed back as they show
        echo "$prefix$name/"
    done
}

_brindle() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local command="" i
    _brindle_tool=("${COMP_WORDS[0]}")
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --db | --wait) _brindle_tool+=("${COMP_WORDS[i]}" "${COMP_WORDS[i+1]}"); ((i++)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    case $prev in
        --db | --file | -o | --output) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -t | --type)
            COMPREPLY=($(compgen -W "empty string short int int64 byte double float binary datetime" -- "$cur"))
            return ;;
        --wait | -d | --depth | --default) return ;;
    esac
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$_brindle_commands $_brindle_global_options" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_brindle_options "$command")" -- "$cur"))
        return
    fi
    case $command in
        import | load) COMPREPLY=($(compgen -f -- "$cur")) ;;
        ls | props | get | set | unset | mkkey | rmkey | mvkey | tree | export | dump)
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$(_brindle_keys "$cur")" -- "$cur"))
            compopt -o nospace 2>/dev/null ;;
    esac
}

complete -F _brindle brindle
