# bash completion for quorvanectl: commands, their options, profile names and files.
_quorvanectl() {
    local cur prev words cword
    _init_completion || return
    local commands="help version status doctor fans sensors profiles set-rpm manual restore run serve mode smc"
    local global="-h --help --version --fahrenheit --identifier --team --unsigned"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --identifier | --team) ((i++)) ;;
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done
    case $prev in
        --profile)
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$(printf '%s\n' 'Apple Auto' 'Silent Stealth' 'Quorvane Standard' 'Max Thermal Blast')" -- "$cur"))
            COMPREPLY=("${COMPREPLY[@]// /\\ }")
            return ;;
        --from) COMPREPLY=($(compgen -W "Gaming Recording Rendering" -- "$cur")); return ;;
        --source) COMPREPLY=($(compgen -W "hottest cpuAverage cpuPerformance cpuEfficiency gpuAverage" -- "$cur")); return ;;
        --mode | --config | -o | --output) _filedir json; return ;;
        --identifier | --team | --hold | --seconds | --app | --fixed | --floor | --sensor | --symbol) return ;;
    esac
    local options=""
    case $command in
        "") COMPREPLY=($(compgen -W "$commands $global" -- "$cur")); return ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
        fans | profiles | status) options="--json" ;;
        sensors) options="--all --json" ;;
        set-rpm) options="--hold --no-heartbeat" ;;
        manual) options="--hold --force"; [[ $cur != -* ]] && options="on off" ;;
        restore) options="--force" ;;
        run) options="--profile --mode --seconds --json --app" ;;
        serve) options="--config --check" ;;
        mode)
            options="new"
            [[ " ${words[*]:i+1:cword-i-1} " == *" new "* ]] &&
                options="--from --fixed --floor --source --sensor --symbol --main-readout -o --output --force" ;;
        smc) options="read write keys --force" ;;
    esac
    COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
}
complete -F _quorvanectl quorvanectl
