# The two pictures of bench/scale, drawn by gnuplot from the files that
# bench/scale prepares (it calls this with -e "work='...'; out='...'"):
#
#   $work/series.dat  per store size: objects, then wall and CPU seconds of
#                     load, dump and repair
#   $work/shares.dat  per store size: its label, then each pass's share of
#                     the passes' CPU time in percent; the header names the passes
#
# and writes $out/times.svg and $out/pass-shares.svg, each with `note` (the
# sizes whose figures come from an earlier run) at its foot when it is not empty.

set terminal svg size 760,480 dynamic noenhanced font "sans,12" background rgb "white"
set datafile missing "-"

# --- time against store size, both on log scales ---
set output out . "/times.svg"
set title "load, dump and repair of a generated store"
set logscale xy 10
set xlabel "objects in the store"
set ylabel "seconds"
set format x "%.0s%c"
set format y "%g"
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
set key top left box opaque
set mxtics 10
set mytics 10
# From the smallest to the largest store measured, with a little room.
set autoscale xfix
set offsets graph 0.04, graph 0.04, 0, 0
if (strlen(note) > 0) set label 1 note at screen 0.98, screen 0.03 right font ",10" tc rgb "#555555"
colors = "#1b6ca8 #e07b00 #2a9d3a"
names = "load dump repair"
plot for [i = 1:3] work . "/series.dat" using 1:(column(2 * i + 1)) \
       with linespoints lw 2 pt 7 ps 0.8 lc rgb word(colors, i) title word(names, i) . " CPU", \
     for [i = 1:3] work . "/series.dat" using 1:(column(2 * i)) \
       with linespoints lw 1 dt 2 pt 6 ps 0.8 lc rgb word(colors, i) title word(names, i) . " wall"

# --- each pass's share of the repair, one stacked bar per store size ---
reset
set terminal svg size 860,480 dynamic noenhanced font "sans,12" background rgb "white"
set output out . "/pass-shares.svg"
set title "each pass's share of the repair's passes (CPU time)"
set style data histograms
set style histogram rowstacked
set style fill solid 0.9 border rgb "white"
set boxwidth 0.6
set yrange [0:100]
set ylabel "% of the passes' CPU time"
set xlabel "objects in the store"
# Pass 1 is at the bottom of each bar, and at the bottom of the key.
set key outside right center reverse invert Left samplen 1.5 noautotitle
set grid ytics lc rgb "#dddddd"
if (strlen(note) > 0) set label 1 note at screen 0.98, screen 0.03 right font ",10" tc rgb "#555555"
palette = "#1b6ca8 #7fb3d5 #e07b00 #f5b971 #2a9d3a #8fd19e #c0392b #f1948a #7d3c98 #c39bd3 #7f8c8d #d5c28f"
plot for [i = 2:13] work . "/shares.dat" using i:xtic(1) lc rgb word(palette, i - 1) \
  title columnhead(i)
