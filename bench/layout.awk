# Turns the linker's map of korproxy and the code blocks that requests ran into the linker script
# front/korproxy_layout.ld. Run by bench/layout; see there.
#
# Input, in two files: the map (-Wl,-Map), then the tracer's lines of each request ("SB ADDRESS"
# for each block run), each request's lines after a line "run". The first block of a request is
# the program's entry point, whose offset in the file is -v entry=0x...: that places the rest.
# Output: the script, on standard output.
#
# A code section is placed at the front when a block ran in it. (One that only a start-up function
# of it ran still goes: left behind, it would cost a fault and the 64 KiB around it anyway.) The
# program's own code always goes to the front, and so does every variant of a string function of
# the C library whose one variant ran: which variant runs depends on the processor. So does the
# start-up code that sets up the kernel's shared page of clock functions (the vDSO), which the
# tracer's processes do not have.

function hexval(text, i, c, value) {
    value = 0
    text = tolower(text)
    sub(/^0x/, "", text)
    for (i = 1; i <= length(text); i++) {
        c = index("0123456789abcdef", substr(text, i, 1))
        value = value * 16 + c - 1
    }
    return value
}

# One input section of the map: its name, address, size and file.
function section(name, address, size, file) {
    if (name !~ /^\.text/ || size == 0) return
    count++
    secName[count] = name
    secStart[count] = address
    secSize[count] = size
    secFile[count] = file
}

# The linker's pattern for a file of the map: "*ARCHIVE:MEMBER" or "*OBJECT".
function pattern(file, archive, member) {
    if (match(file, /\([^)]*\)$/)) {
        member = substr(file, RSTART + 1, RLENGTH - 2)
        archive = substr(file, 1, RSTART - 1)
        sub(/.*\//, "", archive)
        return "*" archive ":" member
    }
    sub(/.*\//, "", file)
    return "*" file
}

FNR == NR {
    if (pendingName != "") {
        if ($1 ~ /^0x/ && NF >= 3) section(pendingName, hexval($1), hexval($2), $3)
        pendingName = ""
    }
    if ($0 ~ /^ \.text[^ ]*$/) {
        pendingName = $1
    } else if ($0 ~ /^ \.text/ && NF >= 4 && $2 ~ /^0x/) {
        section($1, hexval($2), hexval($3), $4)
    }
    next
}

$1 == "run" {
    started = 0
    next
}

$1 == "SB" {
    if (!started) {
        base = hexval($2) - hexval(entry)
        started = 1
    }
    offset = hexval($2) - base
    lo = 1
    hi = count
    while (lo <= hi) {  # the sections are in address order in the map
        mid = int((lo + hi) / 2)
        if (offset < secStart[mid]) {
            hi = mid - 1
        } else if (offset >= secStart[mid] + secSize[mid]) {
            lo = mid + 1
        } else {
            touched[mid] = 1
            break
        }
    }
}

END {
    for (i = 1; i <= count; i++) {
        file = secFile[i]
        own = file ~ /libkorproxy_[a-z]*\.a\(/ || file ~ /CMakeFiles\/korproxy\.dir\//
        unseen = file ~ /libc\.a\((dl-lookup|dl-object|dl-setup_hash|pthread_mutex_(un)?lock)\.o\)/
        if (!touched[i] && !own && !unseen) continue
        line = pattern(file) "(" secName[i] ")"
        if (file ~ /libc\.a\((str|mem|stp|rawmem|wcs|wmem)[a-z_0-9]*-/) {
            member = file
            sub(/.*\(/, "", member)
            sub(/-.*/, "", member)
            line = "*libc.a:" member "-*.o(.text .text.*)"
        }
        if (!(line in written)) {
            written[line] = 1
            lines[++n] = line
        }
    }
    print "/* The code that requests run, gathered at the front of korproxy's executable: written by"
    print "   bench/layout from the blocks that a set of requests ran. Every fault on the program's code"
    print "   maps the pages around it too, so code spread over the whole file made most of it resident."
    print "   Files that are not linked match nothing; code left out runs all the same. */"
    print "SECTIONS"
    print "{"
    print "  .text.request :"
    print "  {"
    for (i = 1; i <= n; i++) print "    " lines[i]
    print "  }"
    print "}"
    print "INSERT BEFORE .text;"
}
