# Chart of the record benchmark from the data file the peers program writes
# with --records.
#   gnuplot -e "data='DIR'; out='DIR'" bench/peers/records_plot.gp
# records_ops.png: median operations per second by phase, recbase and SQLite.
set terminal pngcairo size 1100,620 font "sans,11"
set key outside right top
set grid ytics mytics

n = system("awk 'NR == 1 { print $3 }' ".data."/records_ops.dat")
set output out."/records_ops.png"
set title "Records: operations per second by phase (median of the runs, N = ".n.")"
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set format y "10^{%L}"
set ylabel "operations per second (log scale)"
set xtics rotate by -20
plot for [i=2:*] data."/records_ops.dat" using i:xtic(1) \
     title columnheader(i) noenhanced
