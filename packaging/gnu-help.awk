# Reshapes snipwave-cli --help into the layout help2man reads: its usage lines become one
# "Usage:/or:" list, the paragraphs that begin with a command's name a "Commands:" list, and each
# other paragraph stays a paragraph. The words are left as the program prints them; only the line
# breaks and indents change.
function flush() {
    if (kind == "usage") usage[++nusage] = text
    else if (kind == "command") { cmdname[++ncmd] = name; cmdtext[ncmd] = text }
    else if (kind == "text") para[++npara] = text
    kind = ""; text = ""
}
function join(s, line) { sub(/^ +/, "", line); return s == "" ? line : s " " line }
/^Usage:[ \t]*$/ { flush(); next }
/^$/ { flush(); next }
/^  [^ ]/ { flush(); kind = "usage"; text = join("", $0); next }
/^[a-z]+  +[^ ]/ {
    flush(); kind = "command"; name = $1
    line = $0; sub(/^[a-z]+ +/, "", line); text = line; next
}
/^ / && kind != "" { text = join(text, $0); next }
# A sentence that begins a line after one that ended a sentence begins a paragraph.
{
    if (kind != "text" || (text ~ /\.$/ && $0 ~ /^[A-Z]/)) { flush(); kind = "text" }
    text = join(text, $0)
}
END {
    flush()
    for (i = 1; i <= nusage; i++) print (i == 1 ? "Usage: " : "  or:  ") usage[i]
    print ""
    print "Commands:"
    for (i = 1; i <= ncmd; i++) printf "  %-10s %s\n", cmdname[i], cmdtext[i]
    for (i = 1; i <= npara; i++) {
        print ""
        print para[i]
    }
}
