# help2man writes a heading that holds quotes between quotes, and groff takes the inner ones for
# the end of the argument: they become \(dq.
/^\.S[SH] ".*".*"$/{
s/^\(\.S[SH] \)"\(.*\)"$/\1\2/
s/"/\\(dq/g
s/^\(\.S[SH] \)\(.*\)$/\1"\2"/
}
