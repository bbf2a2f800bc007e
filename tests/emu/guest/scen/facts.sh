# What the kernel reports, read without the command.
facts
step lspci lspci -n
