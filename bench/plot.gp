# Scale curve of a benchmark run, drawn from its CSV:
#   gnuplot -e "csv='bench/results/latest.csv'; out='docs/bench-scale.png'" bench/plot.gp
# Capped builds (fewer mails indexed than asked) are left out of the curve.
set terminal pngcairo size 1200,520 font "sans,10"
set output out
set datafile separator ","
set key top left
set grid
set logscale y
set xrange [0:105]
set xtics ("25%%" 25, "50%%" 50, "100%%" 100)
set xlabel "corpus fraction (6,046 mails = 100%)"
engines = "velkor-default velkor-bulk sqlite-fts5 xapian"
# column 2: engine, 3: mails, 4: indexed, 5: build_s, 8: occurrence_p50_us
pick(e, c) = (strcol(2) eq e && column(3) == column(4)) ? column(c) : NaN
set multiplot layout 1,2 title "velkor index vs SQLite FTS5 and Xapian, SpamAssassin corpus"
set ylabel "build time incl. save/commit (s, log)"
set title "Build time"
plot for [e in engines] csv skip 1 using ($1*100):(pick(e, 5)) with linespoints lw 2 pt 7 title e
set ylabel "query latency p50, tokens by occurrence (µs, log)"
set title "Query p50 (whole (document, count) list)"
plot for [e in engines] csv skip 1 using ($1*100):(pick(e, 8)) with linespoints lw 2 pt 7 title e
unset multiplot
