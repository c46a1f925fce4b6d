# Scale curves of a benchmark run, drawn from its CSV:
#   gnuplot -e "csv='bench/results/latest.csv'; out='docs/bench-scale.png'" bench/plot.gp
# Top: the build scenario. A capped build (its time budget ran out before
# every mail was indexed) is drawn as an open marker at the time it stopped,
# off its engine's line. Bottom: the sessions scenario, p50 of each kind of
# session; a run without it leaves those panels empty.
set terminal pngcairo size 1200,1040 font "sans,10"
set output out
set datafile separator ","
set key bottom right
set grid
set logscale y
set xrange [0:105]
set xtics ("25%%" 25, "50%%" 50, "100%%" 100)
set xlabel "corpus fraction (6,046 mails = 100%)"
engines = "velkor-default velkor-bulk sqlite-fts5 xapian"
# column 1: scenario, 3: engine, 4: mails, 5: indexed, 6: build_s, 10: occurrence_p50_us,
# 25: session_p50_ms
whole(e, c) = (strcol(1) eq "build" && strcol(3) eq e && column(4) == column(5)) ? column(c) : NaN
capped(e, c) = (strcol(1) eq "build" && strcol(3) eq e && column(4) != column(5)) ? column(c) : NaN
session(kind, e) = (strcol(1) eq kind && strcol(3) eq e) ? column(25) : NaN
set multiplot layout 2,2 title "velkor index vs SQLite FTS5 and Xapian, SpamAssassin corpus"
set ylabel "build time incl. save/commit (s, log)"
set title "Build time"
plot for [i=1:words(engines)] csv skip 1 using ($2*100):(whole(word(engines, i), 6)) \
       with linespoints lw 2 pt 7 lc i title word(engines, i), \
     for [i=1:words(engines)] csv skip 1 using ($2*100):(capped(word(engines, i), 6)) \
       with points pt 6 ps 2 lc i title (i == 1 ? "open marker: capped by the time budget" : "")
set ylabel "query latency p50, tokens drawn by occurrence (µs, log)"
set title "Query p50 (whole (document, count) list); capped builds left out"
plot for [i=1:words(engines)] csv skip 1 using ($2*100):(whole(word(engines, i), 10)) \
       with linespoints lw 2 pt 7 lc i title word(engines, i)
# Sessions: one colour per engine, as above (velkor's is velkor-bulk's, whose
# file the sessions start from); dashed: the peers' commits without waiting
# for the disk, and the query tokens drawn from the vocabulary.
set ylabel "session p50 (ms, log)"
set xlabel ""
set key outside bottom center horizontal maxcols 2 width 1
set title "Update session: open, add one mail, save/commit, close"
plot csv skip 1 using ($2*100):(session("update", "velkor")) \
       with linespoints lw 2 pt 7 lc 2 title "velkor", \
     csv skip 1 using ($2*100):(session("update", "floor+journal")) \
       with linespoints lw 2 pt 4 dt 3 lc rgb "black" title "velkor's floor with the journal", \
     csv skip 1 using ($2*100):(session("update", "sqlite-fts5")) \
       with linespoints lw 2 pt 7 lc 3 title "sqlite-fts5", \
     csv skip 1 using ($2*100):(session("update", "sqlite-fts5-sync-off")) \
       with linespoints lw 2 pt 6 dt 2 lc 3 title "sqlite-fts5, synchronous=OFF", \
     csv skip 1 using ($2*100):(session("update", "xapian")) \
       with linespoints lw 2 pt 7 lc 4 title "xapian", \
     csv skip 1 using ($2*100):(session("update", "xapian-no-sync")) \
       with linespoints lw 2 pt 6 dt 2 lc 4 title "xapian, DB\\_NO\\_SYNC"
set title "Cold query session: open read-only, one query, close"
plot for [e in "velkor sqlite-fts5 xapian"] csv skip 1 using ($2*100):(session("query", e)) \
       with linespoints lw 2 pt 7 lc (e eq "velkor" ? 2 : e eq "xapian" ? 4 : 3) \
       title e . ", tokens by occurrence", \
     for [e in "velkor sqlite-fts5 xapian"] csv skip 1 using ($2*100):(session("query-v", e)) \
       with linespoints lw 2 pt 6 dt 2 lc (e eq "velkor" ? 2 : e eq "xapian" ? 4 : 3) \
       title e . ", by vocabulary"
unset multiplot
