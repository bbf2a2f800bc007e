# Wall time of tarnex -r and lspci -n side by side (tarnex -l, which touches
# no PCI, as the start-up baseline), then the configuration-space accesses
# of each, counted by kprobes on the kernel's sysfs config handlers
. /scen/good_table.sh
for i in 1 2 3 4 5 6 7 8 9 10; do
  emutime 1 tarnex -r | sed 's/^/tarnex /'
  emutime 1 lspci -n | sed 's/^/lspci /'
  emutime 1 tarnex -l | sed 's/^/tarnex-l /'
done > $OUT/times
T=/sys/kernel/tracing
echo 'p:lab/cfgrd pci_read_config fn=+0(+0(%si)):string off=%r8:u64 len=%r9:u64' > $T/kprobe_events
echo 'p:lab/cfgwr pci_write_config fn=+0(+0(%si)):string off=%r8:u64 len=%r9:u64' >> $T/kprobe_events
for prog in tarnex lspci; do
  echo > $T/trace
  for e in cfgrd cfgwr; do echo "comm == \"$prog\"" > $T/events/lab/$e/filter; done
  echo 1 > $T/events/lab/enable
  case $prog in tarnex) tarnex -r;; lspci) lspci -n;; esac > /dev/null
  echo 0 > $T/events/lab/enable
  cat $T/trace > $OUT/trace.$prog
done
echo > $T/kprobe_events
