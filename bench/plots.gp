# Plots of one scripts/bench run. Variables from the command line: data (the
# folder of .dat files report.py wrote), out (where the PNGs go), routes and
# floors (route lengths and their floors in ms, as word lists), relay_floor
# (packets per second).
set terminal pngcairo size 900,560 font "DejaVu Sans,10"
set grid
set key bottom right

set output out."/latency.png"
set title "Send → DOBA PRENOSU on the test LAN (harness clock); dashed: floor"
set xlabel "latency (ms)"
set ylabel "fraction of messages"
set logscale x
set yrange [0:1]
plot for [i=1:words(routes)] data."/latency-".word(routes,i).".dat" using 1:2 with lines lw 2 lc i \
       title word(routes,i)." relays", \
     for [i=1:words(floors)] '+' using (real(word(floors,i))):(($0)/1.0) every ::0::1 with lines dt 2 lc i notitle
unset logscale x

set output out."/keygen.png"
set title "Key generation (512 bits), one seed per run, sorted"
set xlabel "run"
set ylabel "time (ms)"
set autoscale
set yrange [0:*]
plot data."/keygen.dat" using 1:2 with linespoints pt 7 ps 0.6 title "init_crypto_keys"

set output out."/relay.png"
set title "One relay fed as fast as it takes: relayed packets over time"
set xlabel "time since the first packet was sent (s)"
set ylabel "PRENOS lines at the relay"
set key top left
plot data."/relay.dat" using 1:2 with lines lw 2 title "measured", \
     relay_floor*x with lines dt 2 title "floor"

set output out."/startup.png"
set title "Start → first datagram heard on another host"
set xlabel "start"
set ylabel "time (ms)"
set style data histograms
set style fill solid 0.6
set yrange [0:*]
set key top right
plot data."/startup.dat" using 2 title "cibula --headless to HELLO", '' using 3 title "a program that only broadcasts"

set output out."/scale.png"
set title "32 stations, 10 messages each over 3 relays, all at once"
set style data lines
set xlabel "latency (ms)"
set ylabel "fraction of messages"
set yrange [0:1]
set logscale x
set key bottom right
plot data."/scale-deliver.dat" using 1:2 lw 2 title "send → shown at the recipient", \
     data."/scale-ack.dat" using 1:2 lw 2 title "send → acknowledged (in order)"
