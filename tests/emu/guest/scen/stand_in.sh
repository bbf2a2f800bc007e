# The stand-in driver's own checks, from a 64-bit caller (native handler)
step drvpoke drvpoke
cat $RECEIVED > $OUT/drvpoke/received
