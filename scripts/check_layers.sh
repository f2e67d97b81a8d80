#!/usr/bin/env bash
# Fails when a project include crosses a layer the architecture forbids (docs/architecture.md).
# Each rule: a folder, then the folders its sources may include from (an allow list), so a new
# folder is refused until someone decides where it sits.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [console]="console"
  [check]="check console"
  [installer/boardtype]="installer/boardtype console"
  [simlink]="simlink base"
  [base]="base"
  [trace]="trace base"
  [payload]="payload check console"
  [usb]="usb simlink base console"
  [client]="client usb trace base console"
  [devsim]="devsim simlink payload check base console"
  [installer]="installer client usb devsim payload check trace base console"
  [web]="web check base console"
)

status=0
# the one file of usb/ that may use devsim/: the twin backend, a library of its own that only the
# installer links
twin_rule() {
  case $1 in usb/usb_twin.cpp | usb/usb_twin.h) echo "usb simlink base console devsim" ;; *) echo "$2" ;; esac
}
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  # installer/boardtype has rules of its own; keep it out of installer's list
  prune=()
  [ "$folder" = installer ] && prune=(-path installer/boardtype -prune -o)
  while IFS= read -r file; do
    while IFS=: read -r line inc; do
      target=${inc#*\"}; target=${target%%\"*}
      ok=0
      for a in $(twin_rule "$file" "${allowed[$folder]}"); do
        case $target in "$a"/*) ok=1 ;; esac
      done
      # a folder's own files may name the folder that holds them
      case $target in */*) ;; *) ok=1 ;; esac
      if [ $ok = 0 ]; then
        echo "layer: $file:$line includes \"$target\", outside what $folder/ may use (${allowed[$folder]})"
        status=1
      fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done < <(find "$folder" "${prune[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) -print)
done

# Inside installer/, three layers: the flow drives the stages, the stages are built from the
# steps (every other file: exchanges, writes, the device, the package, the run's state), and the
# steps talk to client/. A file may include its own layer's headers and those below, never one
# above, so no file calls back into the one that called it.
installer_level() {
  local name=${1##*/}
  name=${name%.*}
  case $name in
    flow | main | dry_run) echo 3 ;;
    stages | loader_stages | layout_stages | package_plan | menus | identify | loader_chain | file_plan) echo 2 ;;
    *) echo 1 ;;
  esac
}
level_names=([1]=steps [2]=stages [3]=flow)
while IFS= read -r file; do
  own=$(installer_level "$file")
  while IFS=: read -r line inc; do
    target=${inc#*\"}; target=${target%%\"*}
    case $target in installer/boardtype/*) continue ;; installer/*) ;; *) continue ;; esac
    other=$(installer_level "$target")
    if [ "$other" -gt "$own" ]; then
      echo "layer: $file:$line includes \"$target\" (${level_names[$other]}), above its own layer (${level_names[$own]})"
      status=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(find installer -path installer/boardtype -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print)

[ $status = 0 ] && echo "layers: every include stays within its folder's rules"
exit $status
