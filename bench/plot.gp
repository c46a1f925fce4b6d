# Scale curve of a benchmark run, drawn from its CSV:
#   gnuplot -e "csv='bench/results/latest.csv'; out='docs/bench-scale.png'" bench/plot.gp
# A capped build (its time budget ran out before every mail was indexed) is
# drawn as an open marker at the time it stopped, off its engine's line.
set terminal pngcairo size 1200,520 font "sans,10"
set output out
set datafile separator ","
set key bottom right
set grid
set logscale y
set xrange [0:105]
set xtics ("25%%" 25, "50%%" 50, "100%%" 100)
set xlabel "corpus fraction (6,046 mails = 100%)"
engines = "velkor-default velkor-bulk sqlite-fts5 xapian"
# column 2: engine, 3: mails, 4: indexed, 5: build_s, 9: occurrence_p50_us
whole(e, c) = (strcol(2) eq e && column(3) == column(4)) ? column(c) : NaN
capped(e, c) = (strcol(2) eq e && column(3) != column(4)) ? column(c) : NaN
set multiplot layout 1,2 title "velkor index vs SQLite FTS5 and Xapian, SpamAssassin corpus"
set ylabel "build time incl. save/commit (s, log)"
set title "Build time"
plot for [i=1:words(engines)] csv skip 1 using ($1*100):(whole(word(engines, i), 5)) \
       with linespoints lw 2 pt 7 lc i title word(engines, i), \
     for [i=1:words(engines)] csv skip 1 using ($1*100):(capped(word(engines, i), 5)) \
       with points pt 6 ps 2 lc i title (i == 1 ? "open marker: capped by the time budget" : "")
set ylabel "query latency p50, tokens drawn by occurrence (µs, log)"
set title "Query p50 (whole (document, count) list); capped builds left out"
plot for [i=1:words(engines)] csv skip 1 using ($1*100):(whole(word(engines, i), 9)) \
       with linespoints lw 2 pt 7 lc i title word(engines, i)
unset multiplot
