# Lays out a page help2man made from a program's --help as a manual page
# is laid out: the help's "Exit status:" becomes the section EXIT STATUS
# (help2man keeps it a subsection of what it follows), and a help's
# "Commands:" becomes the section COMMANDS, a subsection per command with
# its text and its own options under it (help2man makes the commands and
# their options one run of indented paragraphs). A command is a word the
# SYNOPSIS gives after the options of every command, as in
#   [\fI\,--dir DIR\/\fR] \fI\,issue NUMBER BALANCE\/\fR
# Usage: awk -f sections.awk PAGE > LAID_OUT_PAGE
{ line[NR] = $0 }

# The name of the section a line begins, or "" for a line that begins none.
function section_of(text) {
  if (text !~ /^\.SH /) return ""
  sub(/^\.SH +/, "", text)
  gsub(/"/, "", text)
  return text
}

END {
  # The commands: the first lowercase word set in italics on each line of
  # the SYNOPSIS (options begin with '-', operands are in capitals).
  for (i = 1; i <= NR; i++) {
    name = section_of(line[i])
    if (name != "") where = name
    if (where == "SYNOPSIS" && match(line[i], /\\fI\\,[a-z][a-z_-]*/)) {
      command[substr(line[i], RSTART + 5, RLENGTH - 5)] = 1
    }
  }
  in_commands = 0
  for (i = 1; i <= NR; i++) {
    if (line[i] == ".SS \"Exit status:\"") {
      print ".SH \"EXIT STATUS\""
      in_commands = 0
      continue
    }
    if (line[i] == ".SS \"Commands:\"") {
      print ".SH COMMANDS"
      in_commands = 1
      continue
    }
    if (line[i] ~ /^\.SH /) in_commands = 0
    if (in_commands && line[i] == ".IP") {
      # A paragraph of one line that begins with a command is its heading.
      first = line[i + 1]
      sub(/ .*/, "", first)
      if ((first in command) && line[i + 2] ~ /^\./) {
        heading = line[i + 1]
        gsub(/"/, "\\(dq", heading)
        print ".SS \"" heading "\""
        i++
      } else {
        print ".PP"
      }
      continue
    }
    print line[i]
  }
}
