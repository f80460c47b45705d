#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks that the programs, the
# demo and the README are where a user looks for them, runs a tap on the
# installed subway reader, and packs a TGZ that holds the same programs.
# Usage: install_test.sh BUILD_DIRECTORY [FASTER CLOCK COMMAND...]
set -euo pipefail
build=$1
shift
faster=("$@")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
programs="subway_reader_s1 subway_reader_s2 subway_reader_s3 subway_reader_s4 subway_reader_s5
  bus_reader card_tool euckr_to_utf8 simulate_network fare-demo"
for program in $programs; do
  [ -x "$prefix/bin/$program" ] || { echo "FAIL: bin/$program is not installed"; exit 1; }
done
[ -f "$prefix/share/doc/fare_readers/README.md" ] || { echo "FAIL: the README is not installed"; exit 1; }

# A tap on the installed reader, in a network the installed card tool makes.
mkdir -p "$scratch/net/Card" "$scratch/net/Reader_txt"
"$prefix/bin/card_tool" --dir "$scratch/net" issue 1234 10000 >/dev/null
(cd "$scratch/net" && printf '1234\n' | "${faster[@]}" "$prefix/bin/subway_reader_s1" >/dev/null)
tail -n 1 "$scratch/net/Card/1234.txt" | grep -qx '[0-9]\{14\},SUBWAY,IN,8950,S1_1' ||
  { echo "FAIL: the installed reader did not record the tap on the card"; exit 1; }
grep -q ',SUBWAY,IN,1050,S1_1' "$scratch/net/Reader_txt/Subway1.txt" ||
  { echo "FAIL: the installed reader did not log the tap"; exit 1; }

# The package holds the same programs.
cpack --config "$build/CPackConfig.cmake" -G TGZ -B "$scratch/package" >/dev/null
listing=$(tar tzf "$scratch"/package/fare-readers-*.tar.gz)
for program in $programs; do
  grep -q "/bin/$program\$" <<<"$listing" || { echo "FAIL: the package lacks bin/$program"; exit 1; }
done
echo "PASS: installed and packed the nine programs and the demo; the installed S1 charged 1050"
