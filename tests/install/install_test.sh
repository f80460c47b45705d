#!/usr/bin/env bash
# Installs the build (stripped) into a scratch prefix and checks what a user
# looks for works: the programs under their installed names (a tap on the
# installed S1, the demo finding them), the docs, the man pages as man
# renders them, the completion; then packs a TGZ and a .deb holding the same.
# Usage: install_test.sh BUILD_DIRECTORY [FASTER CLOCK COMMAND...]
set -euo pipefail
# A grep that stops at its first match would cut the writer of a pipe
# short (a failure under pipefail): the greps of pipes read all they are given.
build=$1
shift
faster=("$@")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
fail() { echo "FAIL: $*"; exit 1; }
skipped=()

cmake --install "$build" --prefix "$prefix" --strip >/dev/null
readers="subway_reader_s1 subway_reader_s2 subway_reader_s3 subway_reader_s4 subway_reader_s5
  bus_reader"
programs="$readers fare-card-tool fare-euckr-to-utf8 fare-simulate-network fare-demo"
for program in $programs; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
for generic in card_tool euckr_to_utf8 simulate_network; do
  [ ! -e "$prefix/bin/$generic" ] || fail "bin/$generic is installed under its generic name"
done
if command -v file >/dev/null; then
  file -L "$prefix/bin/fare-card-tool" | grep ', stripped' >/dev/null ||
    fail "cmake --install --strip left the symbols in fare-card-tool"
else
  skipped+=("the strip check (needs file)")
fi
docs=$prefix/share/doc/fare-readers
for doc in README.md copyright docs/transaction.md docs/reliability.md docs/operations.md \
  docs/fares.md; do
  [ -f "$docs/$doc" ] || fail "share/doc/fare-readers/$doc is not installed"
done
# Every relative link of the installed README and docs leads to an
# installed file, and to a heading of it when it names one (as a web page
# of the file would: lower case, spaces as '-', other punctuation dropped).
slug() { tr '[:upper:]' '[:lower:]' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'; }
links=0
while IFS= read -r doc; do
  while IFS= read -r target; do
    case $target in http://* | https://* | mailto:*) continue ;; esac
    file=${target%%#*}
    anchor=${target#"$file"}
    anchor=${anchor#\#}
    path=$doc
    [ -z "$file" ] || path=$(dirname "$doc")/$file
    [ -f "$path" ] || fail "${doc#"$docs"/} links to $target, which is not installed"
    if [ -n "$anchor" ]; then
      grep '^#' "$path" | sed 's/^#* *//' | slug | grep -x -- "$anchor" >/dev/null ||
        fail "${doc#"$docs"/} links to $target, a heading ${path#"$docs"/} does not have"
    fi
    links=$((links + 1))
  done < <(grep -o '](\([^)]*\))' "$doc" | sed 's/^](\(.*\))$/\1/')
done < <(find "$docs" -name '*.md')
[ "$links" -ge 30 ] || fail "only $links links found in the installed docs"
head -n 1 "$docs/copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"

# The prefixed programs run under their names, and say them.
"$prefix/bin/fare-card-tool" --version | grep -x 'fare-card-tool (fare readers) [0-9.]*' >/dev/null ||
  fail "fare-card-tool --version does not name it"
"$prefix/bin/fare-card-tool" help topup | grep '^Usage: fare-card-tool \[--dir DIR\] topup' >/dev/null ||
  fail "fare-card-tool help topup does not show its usage"
"$prefix/bin/fare-simulate-network" "$scratch/day" --cards 3 --taps 40 >/dev/null ||
  fail "fare-simulate-network did not simulate a day"
"$prefix/bin/fare-card-tool" --dir "$scratch/day" audit >/dev/null ||
  fail "the installed card tool does not audit the installed simulator's day clean"
[ "$(printf '\xc4\xab\xb5\xe5' | "$prefix/bin/fare-euckr-to-utf8")" = "카드" ] ||
  fail "fare-euckr-to-utf8 does not convert EUC-KR"

# A tap on the installed reader, in a network the installed card tool makes.
net=$scratch/net
mkdir -p "$net/Card" "$net/Reader_txt"
"$prefix/bin/fare-card-tool" --dir "$net" issue 1234 10000 >/dev/null
(cd "$net" && printf '1234\n' | "${faster[@]}" "$prefix/bin/subway_reader_s1" >/dev/null)
tail -n 1 "$net/Card/1234.txt" | grep -x '[0-9]\{14\},SUBWAY,IN,8950,S1_1' >/dev/null ||
  fail "the installed reader did not record the tap on the card"
grep -q ',SUBWAY,IN,1050,S1_1' "$net/Reader_txt/Subway1.txt" ||
  fail "the installed reader did not log the tap"

# The installed demo finds the installed programs: without a terminal it
# prepares its network with the card tool and says how to run a reader.
demo=$("$prefix/bin/fare-demo" --dir "$scratch/demo" --session "fare-install-test-$$" </dev/null) ||
  fail "fare-demo failed"
[ -f "$scratch/demo/Card/1001.txt" ] || fail "fare-demo did not issue its cards"
grep -q "$prefix/bin/fare-euckr-to-utf8" <<<"$demo" || fail "fare-demo does not name the converter"

# The man pages: the card tool's, the simulator's and the demo's from
# their help, the readers' under each reader's name.
man1=$prefix/share/man/man1
pages="fare-card-tool fare-simulate-network fare-demo fare-readers"
for page in $pages $readers; do
  [ -e "$man1/$page.1.gz" ] || fail "share/man/man1/$page.1.gz is not installed"
done
if command -v man >/dev/null; then
  render() { MANWIDTH=100 man -l "$man1/$1.1.gz" 2>/dev/null; }
  # The lines of section $1 of a rendered page on standard input.
  section() { awk -v name="$1" '$0 == name { on = 1; next } /^[^ ]/ { on = 0 } on'; }
  for page in $pages; do
    text=$(render "$page")
    for heading in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' 'SEE ALSO'; do
      grep -qx "$heading" <<<"$text" || fail "$page(1) has no section $heading"
    done
    # Pages and documents by name, never a path right for one prefix alone.
    ! section 'SEE ALSO' <<<"$text" | grep -E '(^|[ (])/' >/dev/null ||
      fail "$page(1) names an installed path in SEE ALSO"
  done
  # The card tool's page: a subsection of COMMANDS for every command of
  # its help, with the command's own options under it; the statuses of its
  # help in EXIT STATUS.
  help=$("$prefix/bin/fare-card-tool" --help)
  page=$(render fare-card-tool)
  commands=$(sed -n 's/^\(Usage:\|  or:\) *fare-card-tool \[--dir DIR\] \([a-z]*\).*/\2/p' <<<"$help")
  [ "$(wc -w <<<"$commands")" -ge 6 ] || fail "fare-card-tool --help lists no commands"
  # The section read whole before grep looks in it: grep -q stops at its
  # first match, and a section longer than a pipe's buffer would then
  # fail the pipeline with the writer's SIGPIPE.
  commands_section=$(section COMMANDS <<<"$page")
  for command in $commands; do
    grep -q "^   $command\b" <<<"$commands_section" ||
      fail "fare-card-tool(1) has no subsection of COMMANDS for $command"
  done
  awk '/^   audit /{ on = 1; next } /^   [^ ]/{ on = 0 } on' <<<"$commands_section" |
    grep -q -- '--sqlite FILE' || fail "fare-card-tool(1) has not audit's options under audit"
  ! section OPTIONS <<<"$page" | grep -- '--format' >/dev/null ||
    fail "fare-card-tool(1) lists a command's options among every command's"
  statuses=$(sed -n '/^Exit status:$/,$s/^  \([0-9]\)  .*/\1/p' <<<"$help")
  [ "$(wc -w <<<"$statuses")" -ge 5 ] || fail "fare-card-tool --help gives no exit statuses"
  for status in $statuses; do
    section 'EXIT STATUS' <<<"$page" | grep -E "^ +$status +[^ ]" >/dev/null ||
      fail "fare-card-tool(1) does not give exit status $status"
  done
  render fare-demo | section OPTIONS | grep -- '--detach' >/dev/null || fail "fare-demo(1) lacks its options"
  for text in 'fare-card-tool \[--dir DIR\] topup NUMBER AMOUNT' '--anomalies' '^FILES' \
    'Reader_txt/Topup.txt'; do
    render fare-card-tool | grep -- "$text" >/dev/null || fail "fare-card-tool(1) lacks '$text'"
  done
  render fare-simulate-network | grep -- '--date YYYYMMDD' >/dev/null ||
    fail "fare-simulate-network(1) lacks its options"
  for reader in $readers; do
    render "$reader" | grep "$reader" >/dev/null || fail "man $reader does not render the readers' page"
  done
  render fare-readers | grep 'ends when its standard input ends' >/dev/null ||
    fail "fare-readers(1) does not say how a reader ends"
  case $(MANPATH=$prefix/share/man man -w bus_reader) in
    "$man1"/*) ;;
    *) fail "man does not find bus_reader under the prefix" ;;
  esac
else
  skipped+=("rendering the man pages (needs man-db)")
fi

# The completion loads in bash and completes commands, --format values and
# the card numbers of the network directory given.
completion=$prefix/share/bash-completion/completions/fare-card-tool
[ -f "$completion" ] || fail "the card tool's bash completion is not installed"
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _fare_card_tool
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
[ "$(complete_words fare-card-tool to)" = topup ] || fail "the completion does not complete topup"
[ "$(complete_words fare-card-tool list --format j)" = json ] ||
  fail "the completion does not complete --format json"
[ "$(complete_words fare-card-tool show --dir "$net" 12)" = 1234 ] ||
  fail "the completion does not complete a card number of --dir's network"
loader=/usr/share/bash-completion/bash_completion
if [ -f "$loader" ]; then
  XDG_DATA_DIRS=$prefix/share bash -c ". $loader; __load_completion fare-card-tool
    complete -p fare-card-tool" | grep _fare_card_tool >/dev/null ||
    fail "bash-completion does not find the completion under the prefix"
else
  skipped+=("bash-completion's loading of the completion (needs bash-completion)")
fi

# The packages hold the same.
cpack --config "$build/CPackConfig.cmake" -G TGZ -B "$scratch/package" >/dev/null
listing=$(tar tzf "$scratch"/package/fare-readers-*.tar.gz)
for file in $(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||'); do
  grep -q "/$file\$" <<<"$listing" || fail "the TGZ package lacks $file"
done
if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >/dev/null
  deb=$(echo "$scratch"/package/fare-readers_*.deb)
  contents=$(dpkg-deb -c "$deb")
  for file in bin/fare-card-tool share/man/man1/fare-card-tool.1.gz share/man/man1/bus_reader.1.gz \
    share/man/man1/fare-demo.1.gz share/bash-completion/completions/fare-card-tool \
    share/doc/fare-readers/copyright share/doc/fare-readers/docs/fares.md; do
    grep -q " \./usr/$file" <<<"$contents" || fail "the Debian package lacks /usr/$file"
  done
  [ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "the Debian package has no section"
  dpkg-deb -f "$deb" Maintainer | grep -x '[^<>]\+ <[^<>@]\+@[^<>]\+>' >/dev/null ||
    fail "the Debian package's maintainer is not 'Name <address>'"
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 4 ] ||
    fail "the Debian package has no long description"
else
  skipped+=("the Debian package (needs dpkg-dev)")
fi

for skip in "${skipped[@]}"; do echo "SKIPPED: $skip"; done
echo "PASS: installed and packed the programs under their names, the docs ($links links" \
  "followed), the man pages and the completion; the installed S1 charged 1050"
