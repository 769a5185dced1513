# The charts of docs/performance.md and the README, drawn from one `make bench` run:
#   gnuplot -e "scaling='S.tsv'; buffers='B.tsv'; responses='R.tsv'; out='docs'" bench/charts.gnuplot
# scaling:   instances, host CPU per instance (%), delay p50, p99 (ms)
# buffers:   process calls per second, dropped blocks, delay p50, p99 (ms), frames per call
# responses: Hz, then the gain in dB of four Band Solo bands and four spectrum widths

set terminal pngcairo size 960,440 font "DejaVu Sans,11" noenhanced
set datafile separator "\t"
set grid lc rgb "#d8d8d8"
set key below horizontal
set style line 1 lc rgb "#1f5f99" lw 2 pt 7 ps 1.1
set style line 2 lc rgb "#c0392b" lw 2 pt 5 ps 1.1
set style line 3 lc rgb "#2e8b57" lw 2 pt 9 ps 1.1
set style line 4 lc rgb "#8e44ad" lw 2 pt 11 ps 1.1

# Many senders, one visualiser.
set output out."/scaling.png"
set multiplot layout 1,2 title "One host, N instances streaming to one visualiser (256-frame buffers, 48 kHz)"
set logscale x 2
set xrange [0.8:160]
set xlabel "instances in the host"
set ylabel "host CPU per instance (% of one core)"
set yrange [0:*]
plot scaling using 1:2 with linespoints ls 1 title "host CPU per instance"
set ylabel "delay, process() to visualiser (ms)"
set logscale y 10
set yrange [1:*]
plot scaling using 1:3 with linespoints ls 1 title "p50", \
     scaling using 1:4 with linespoints ls 2 title "p99"
unset multiplot
unset logscale

# Host buffers: one instance at 16 to 4096 frames per call, 44.1 to 192 kHz.
set output out."/host-buffers.png"
set multiplot layout 1,2 title "One instance at host buffers of 16 to 4096 frames, 44.1 to 192 kHz"
set logscale x 10
set xrange [8:20000]
set xlabel "process() calls per second"
set ylabel "delay, process() to visualiser (ms)"
set yrange [0:*]
plot buffers using 1:3 with points ls 1 title "p50", \
     buffers using 1:4 with points ls 2 title "p99"
stats buffers using 2 nooutput
set ylabel "dropped blocks per run"
set yrange [-0.5:(STATS_max < 5 ? 5 : STATS_max * 1.1)]
plot buffers using 1:2 with points ls 2 title "dropped blocks"
unset multiplot
unset logscale

# The filter bank's responses, measured on sines.
set output out."/auditions.png"
set multiplot layout 1,2 title "Audition responses of the filter bank, measured at 48 kHz"
set logscale x 10
set xrange [20:20000]
set xtics ("20" 20, "50" 50, "100" 100, "200" 200, "500" 500, "1k" 1000, "2k" 2000, "5k" 5000, "10k" 10000, "20k" 20000)
set xlabel "frequency (Hz)"
set ylabel "gain (dB)"
set yrange [-80:5]
set title "Band Solo at crossovers 250 Hz, 1 kHz, 6 kHz"
plot responses using 1:2 with lines ls 1 title "band 0", \
     responses using 1:3 with lines ls 2 title "band 1", \
     responses using 1:4 with lines ls 3 title "band 2", \
     responses using 1:5 with lines ls 4 title "band 3"
set title "Spectrum audition at 1 kHz"
plot responses using 1:6 with lines ls 1 title "width 0.44", \
     responses using 1:7 with lines ls 2 title "width 0.6", \
     responses using 1:8 with lines ls 3 title "width 0.85", \
     responses using 1:9 with lines ls 4 title "width 0.95"
unset multiplot
