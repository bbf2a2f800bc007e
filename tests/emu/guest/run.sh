#!/bin/sh
# Runs one scenario script on a fresh state: run.sh NAME
. /scen/lib.sh
emu_reset
OUT=/out/$1
export OUT
set -x
. "/scen/$1.sh"
