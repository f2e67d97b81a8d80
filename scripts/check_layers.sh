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
  [installer]="installer client usb payload check trace base console"
  [web]="web check base console"
)

status=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  # installer/boardtype has rules of its own; keep it out of installer's list
  prune=()
  [ "$folder" = installer ] && prune=(-path installer/boardtype -prune -o)
  while IFS= read -r file; do
    while IFS=: read -r line inc; do
      target=${inc#*\"}; target=${target%%\"*}
      ok=0
      for a in ${allowed[$folder]}; do
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
[ $status = 0 ] && echo "layers: every include stays within its folder's rules"
exit $status
