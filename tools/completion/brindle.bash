# bash completion for brindle: commands, their options, key addresses and property names read
# from the database the command line names (--db PATH or --db=PATH, else $BRINDLE_DB, else the
# tool's default), and files where a file goes.

_brindle_commands="ls props get set unset mkkey rmkey mvkey tree export import dump load check stats watch serve sync repair demo codes"
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
        import) echo "--fresh --hidden" ;;
        dump) echo "-a --all -o --output" ;;
        load) echo "-n --dry-run --ignore-flags" ;;
        check | stats | watch) echo "--json" ;;
        serve) echo "--port --bind --read-only --open --max-upload" ;;
        sync) echo "--etcd --prefix --once --json --from-local" ;;
        repair) echo "--in-place -o --output" ;;
        codes) echo "--markdown" ;;
    esac
}

# What each command takes at its positions after the options: a key address, a property name
# of that key, a file, or nothing to complete.
_brindle_positions() {
    case $1 in
        ls | props | mkkey | rmkey | tree | dump | watch) echo "key" ;;
        get | unset | set) echo "key property" ;;
        mvkey) echo "key -" ;;
        export) echo "key file" ;;
        import | load) echo "file" ;;
    esac
}

# The word as the shell will pass it: quotes and backslash escapes removed, a leading ~ as
# $HOME. Enough for what completion meets while a word is being typed.
_brindle_unquote() {
    local word=$1
    case $word in
        \'*) word=${word#\'}; word=${word%\'} ;;
        \"*) word=${word#\"}; word=${word%\"}; word=${word//\\\"/\"}; word=${word//\\\\/\\} ;;
        *)
            word=${word//\\\\/$'\1'}
            word=${word//\\/}
            word=${word//$'\1'/\\}
            # shellcheck disable=SC2088 # a literal ~, as typed
            [[ $word == "~" || $word == "~/"* ]] && word=$HOME${word#\~}
            ;;
    esac
    printf '%s' "$word"
}

# Key addresses below the part already typed, one per line, unquoted: "App/ne" lists the sub
# keys of App. A name holding a '/' can only be reached in the backslash form, where '\'
# separates levels; such a name switches the address to that form (main key "x/y" completes
# to "x/y\"). Names holding a '\' cannot be written in an address at all and are left out.
_brindle_keys() {
    local typed=$1 parent="" leaf=$1 separator=/
    if [[ $typed == *\\* ]]; then
        separator=\\
        parent=${typed%\\*}
        leaf=${typed##*\\}
    elif [[ $typed == */* ]]; then
        parent=${typed%/*}
        leaf=${typed##*/}
    fi
    local name prefix
    while IFS= read -r -d '' name; do
        [[ $name == *\\* || $name != "$leaf"* ]] && continue
        if [[ $separator == / && $name == */* ]]; then
            prefix=${parent//\//\\}
            echo "${prefix:+$prefix\\}$name\\"
        else
            echo "${parent:+$parent$separator}$name$separator"
        fi
    done < <("${_brindle_tool[@]}" ls -0 -- "${parent:+$parent$separator}" 2>/dev/null)
}

# The property names of key `$1` that begin with `$2`, one per line, from the tool's JSON
# listing. Each property opens with '{"name":"'; inside JSON strings a quote is always
# escaped, so the text cannot occur elsewhere. Read from the end, the last one first.
_brindle_properties() {
    local json name pattern='^(.*)\{"name":"(([^"\\]|\\.)*)"'
    json=$("${_brindle_tool[@]}" props --json -- "$1" 2>/dev/null) || return
    while [[ $json =~ $pattern ]]; do
        json=${BASH_REMATCH[1]}
        name=${BASH_REMATCH[2]//\\\"/\"}
        name=${name//\\\//\/}
        printf -v name '%b' "$name"
        [[ $name == "$2"* && $name != *$'\n'* ]] && echo "$name"
    done
}

# Sets COMPREPLY to the lines of $1, quoted for the shell unless the word was begun inside
# quotes (then readline completes inside them).
_brindle_reply() {
    local IFS=$'\n' line
    COMPREPLY=()
    for line in $1; do
        if [[ $2 == [\'\"]* ]]; then
            COMPREPLY+=("$line")
        else
            COMPREPLY+=("$(printf '%q' "$line")")
        fi
    done
}

# Files and folders; readline quotes them and marks folders with a '/'.
_brindle_files() {
    mapfile -t COMPREPLY < <(compgen -f -- "$1")
    compopt -o filenames 2>/dev/null
}

_brindle() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local command="" i word positions=()
    _brindle_tool=("${COMP_WORDS[0]}")
    # bash splits "--db=PATH" into "--db", "=" and "PATH" (= is a word break); without that
    # split it stays one word. Both are read.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --db | --wait)
                [[ ${COMP_WORDS[i+1]} == = ]] && ((i++))
                ((i + 1 < COMP_CWORD)) || break
                [[ $word == --db ]] && _brindle_tool+=(--db "$(_brindle_unquote "${COMP_WORDS[i+1]}")")
                ((i++)) ;;
            --db=*) _brindle_tool+=(--db "$(_brindle_unquote "${word#--db=}")") ;;
            -*) ;;
            *) command=$word; break ;;
        esac
    done

    if [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    elif [[ $cur == = ]]; then
        cur=""
    fi
    case $prev in
        --db | --file | -o | --output) _brindle_files "$cur"; return ;;
        -t | --type)
            COMPREPLY=($(compgen -W "empty string short int int64 byte double float binary datetime" -- "$cur"))
            return ;;
        --wait | -d | --depth | --default | --port | --bind | --max-upload) return ;;
    esac
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$_brindle_commands $_brindle_global_options" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_brindle_options "$command")" -- "$cur"))
        return
    fi

    # The positional words before this one, skipping options and the values they take.
    positions=()
    for ((i++; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            -t | --type | --file | --default | -o | --output | -d | --depth) ((i++)) ;;
            -*) ;;
            *) positions+=("$word") ;;
        esac
    done
    local -a kinds=($(_brindle_positions "$command"))
    case ${kinds[${#positions[@]}]} in
        key)
            _brindle_reply "$(_brindle_keys "$(_brindle_unquote "$cur")")" "$cur"
            compopt -o nospace 2>/dev/null ;;
        property)
            _brindle_reply "$(_brindle_properties "$(_brindle_unquote "${positions[0]}")" \
                "$(_brindle_unquote "$cur")")" "$cur" ;;
        file) _brindle_files "$cur" ;;
    esac
}

complete -F _brindle brindle
