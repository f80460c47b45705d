#!/usr/bin/env bash
# The layers of core, lowest first, and which layers each may include.
# Formats (records and their texts, pure conversions) know nothing of the
# world; the clock, the console and the files know the formats only; the
# reader's state knows the files it holds; the stages of a tap use them
# all. Fails, naming the include, when a core file includes upward or
# sideways, or when a core module is in no layer.
set -euo pipefail
core="$1/core"

declare -A layer=(
  [records]=formats [text]=formats [messages]=formats [packed_time]=formats
  [card_file]=formats [trip_facts]=formats [tap_result]=formats
  [clock]=clock [console]=console
  [file_io]=files [tap_journal]=files [settle]=files [storage]=files [card_transaction]=files
  [reader_state]=state [period]=state
  [intake]=stages [tap_output]=stages [reader]=stages)
declare -A uses=(
  [formats]="formats" [clock]="clock formats" [console]="console formats"
  [files]="files formats" [state]="state files clock formats"
  [stages]="stages state files console clock formats")

wrong=0
for file in "$core"/*.h "$core"/*.cpp; do
  module=$(basename "${file%.*}")
  own=${layer[$module]:-}
  if [ -z "$own" ]; then
    echo "core/$(basename "$file"): module '$module' is in no layer"
    wrong=1
    continue
  fi
  for included in $(sed -n 's|^#include "core/\([a-z_]*\)\.h"|\1|p' "$file"); do
    theirs=${layer[$included]:-none}
    if [[ " ${uses[$own]} " != *" $theirs "* ]]; then
      echo "core/$(basename "$file") ($own) includes core/$included.h ($theirs)"
      wrong=1
    fi
  done
done
exit $wrong
