# bash completion for vddb
_vddb() {
  local cur prev command
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "load dump lock check repair generate history show undo --help --version" -- "$cur")
    return
  fi
  command=${COMP_WORDS[1]}
  case $prev in
    --wait|--seconds|-s|--objects|-n|--seed|--damage|-d|--prune) return ;;
  esac
  local options
  case $command in
    load) options="--force --help" ;;
    dump) options="--all-classes --verify --wait --help" ;;
    lock) options="--seconds --help" ;;
    check) options="--json --wait --help" ;;
    repair) options="--json --wait --until-clean --help" ;;
    generate) options="--objects --seed --damage --force --help" ;;
    history) options="--json --prune --wait --help" ;;
    show) options="--json --help" ;;
    undo) options="--wait --help" ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _vddb vddb
