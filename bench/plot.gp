# Draws the benchmark's speeds as bars on a log scale, each with its range
# of runs: the service beside whole commands, the counting routine beside
# peers in its own process. bench/run calls it with the figures report.py
# wrote; gnuplot is needed only for this picture, never for the build.
#
#   gnuplot -e "data='FIGURES.tsv'; out='PLOT.svg'" bench/plot.gp
#
# FIGURES.tsv: one measure a line, tab-separated: label, median, min, max
# (GB/s), and the group (1 the service and whole commands, 2 in-process).

set terminal svg size 760,420 dynamic font "sans,12" background rgb "white"
set output out
set datafile separator "\t"
set title "Counting spaces in a page-cached 1 GiB file (median, bar: fastest to slowest run)"
set ylabel "GB/s (log scale)"
set logscale y
set yrange [0.01:100]
set grid ytics
set style fill solid 0.6 border -1
set boxwidth 0.6
set xtics nomirror rotate by -20 scale 0
set key top left
set bmargin 6
plot data using 0:($5 == 1 ? $2 : 1/0):xtic(1) with boxes lc rgb "#3b75af" title "whole: service and commands", \
     data using 0:($5 == 2 ? $2 : 1/0) with boxes lc rgb "#e1812c" title "in one process: routine and loops", \
     data using 0:2:3:4 with yerrorbars lc rgb "black" pt 0 notitle, \
     data using 0:(0.014):(sprintf("%g", $2)) with labels font ",10" notitle
