# Charts of the peer benchmark from the data files the peers program writes.
#   gnuplot -e "data='DIR'; out='DIR'" bench/peers/plot.gp
# peers_ops.png: median operations per second by phase and engine.
# peers_growth.png: median ns per insert and lookup against N.
set terminal pngcairo size 1100,620 font "sans,11"
set datafile missing "NaN"
set key outside right top
set grid ytics mytics

n = system("awk 'NR == 1 { print $3 }' ".data."/peers_ops.dat")
set output out."/peers_ops.png"
set title "Operations per second by phase (median of the runs, N = ".n.")"
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set format y "10^{%L}"
set ylabel "operations per second (log scale)"
plot for [i=2:*] data."/peers_ops.dat" using i:xtic(1) \
     title columnheader(i) noenhanced

stopped = system("awk 'NR == 1 { print $3 }' ".data."/peers_growth.dat")
set output out."/peers_growth.png"
set title "Cost per operation against the number of keys (median)". \
  (stopped eq "yes" ? "\nan engine's largest N is the size it reached " . \
                      "within the time limit" : "")
unset style
set style data linespoints
set logscale xy
set format x "10^{%L}"
set format y "%g"
set xlabel "keys in the store, N (log scale)"
set ylabel "ns per operation (log scale)"
set xtics nomirror
# An engine's insert (solid, circles) and lookup (dashed, squares) share
# its colour.
do for [e=1:5] {
  set style line 2*e-1 lc e lw 2 pt 7 ps 1.2 dt 1
  set style line 2*e lc e lw 2 pt 5 ps 1.2 dt 2
}
plot for [i=2:*] data."/peers_growth.dat" using 1:i \
     title columnheader(i) noenhanced ls (i - 1)
