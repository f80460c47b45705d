#!/usr/bin/env bash
# Who may include whom, the one check of the code's layering. Each folder
# includes only from the folders below it: the rule sets from core, the
# readers from core and the rule sets, the office from those and the
# readers' table, the tools from all of them; tests and benchmarks from
# anything. Within core, each module includes only its own layer and those
# below: formats (records and their texts, pure conversions) know nothing of
# the world; the clock, the console and the files know the formats only;
# the reader's state knows the files it holds; the stages of a tap use them
# all. Fails, naming the include, when a file includes upward or sideways,
# or when a core module is in no layer.
set -euo pipefail
root="$1"

declare -A folders=(
  [core]="core" [subway]="core subway" [bus]="core bus"
  [readers]="core subway bus readers" [office]="core subway bus readers office"
  [tools]="core subway bus readers office tools")
declare -A layer=(
  [records]=formats [text]=formats [messages]=formats [packed_time]=formats
  [card_file]=formats [trip_facts]=formats [tap_result]=formats
  [clock]=clock [console]=console
  [file_io]=files [network]=files [tap_journal]=files [settle]=files [tap_bytes]=files [storage]=files [card_hold]=files [card_transaction]=files
  [reader_state]=state [period]=state
  [intake]=stages [tap_output]=stages [reader]=stages)
declare -A uses=(
  [formats]="formats" [clock]="clock formats" [console]="console formats"
  [files]="files formats" [state]="state files clock formats"
  [stages]="stages state files console clock formats")

wrong=0
for folder in "${!folders[@]}"; do
  for file in "$root/$folder"/*.h "$root/$folder"/*.cpp; do
    [ -e "$file" ] || continue
    name="$folder/$(basename "$file")"
    module=$(basename "${file%.*}")
    if [ "$folder" = core ] && [ -z "${layer[$module]:-}" ]; then
      echo "$name: module '$module' is in no layer"
      wrong=1
    fi
    while read -r included; do
      [ -n "$included" ] || continue
      theirs=${included%%/*}
      if [[ " ${folders[$folder]} " != *" $theirs "* ]]; then
        echo "$name includes $included: $folder/ includes only from ${folders[$folder]}"
        wrong=1
      elif [ "$folder" = core ]; then
        other=$(basename "${included%.*}")
        if [[ " ${uses[${layer[$module]:-none}]:-} " != *" ${layer[$other]:-none} "* ]]; then
          echo "$name (${layer[$module]:-none}) includes $included (${layer[$other]:-none})"
          wrong=1
        fi
      fi
    done < <(sed -n 's|^#include "\([a-z_]*/[a-z_]*\.h\)"|\1|p' "$file")
  done
done
exit $wrong
