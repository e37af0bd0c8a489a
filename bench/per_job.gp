# Draws the per-job figures of bench/run.sh. Called with: gnuplot -e "data='...'; output='...'"
set terminal pngcairo size 820,480 font "DejaVu Sans,10"
set output output
set title "Cost per job: both stand-in tools started and waited for (median, whiskers min–max)"
set ylabel "µs per job (log scale)"
set logscale y
set yrange [500:50000]
set grid ytics
set style fill solid 0.6 border -1
set boxwidth 0.6
unset key
plot data using 0:2:xtic(1) with boxes lc rgb "#4477aa", \
     '' using 0:2:3:4 with yerrorbars lc rgb "black" pointtype 0, \
     '' using 0:2:(sprintf("%.0f µs", $2)) with labels offset 0,1.2
