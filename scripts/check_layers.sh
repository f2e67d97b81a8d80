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

# Inside installer/, the folders are the layers: the flow drives the stages, the stages are built
# from the steps (the device, the exchanges, the writes, the package, the run's state), and the
# steps talk to client/; the model table lies below them all. A file may include its own folder
# and the folders below it, never one above, so no file calls back into the one that called it.
installer_layers=(boardtype steps stages flow)
installer_level() {
  local rest=${1#installer/} i
  for i in "${!installer_layers[@]}"; do
    case $rest in "${installer_layers[$i]}"/*) echo "$i"; return ;; esac
  done
  echo -1
}
while IFS= read -r file; do
  own=$(installer_level "$file")
  if [ "$own" = -1 ]; then
    echo "layer: $file lies in no layer of installer/ (${installer_layers[*]})"
    status=1
    continue
  fi
  while IFS=: read -r line inc; do
    target=${inc#*\"}; target=${target%%\"*}
    case $target in installer/*) ;; *) continue ;; esac
    other=$(installer_level "$target")
    if [ "$other" -gt "$own" ] || [ "$other" = -1 ]; then
      echo "layer: $file:$line includes \"$target\", above its own folder's layer (${installer_layers[$own]})"
      status=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(find installer -type f \( -name '*.cpp' -o -name '*.h' \) -print)

[ $status = 0 ] && echo "layers: every include stays within its folder's rules"
exit $status
