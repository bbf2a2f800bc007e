/*
 * Loads a crash kernel for the module VM: kexec_crash KERNEL INITRD CMDLINE.
 * kexec_file_load(2) builds the crash kernel's memory map and ELF core
 * header itself and puts "elfcorehdr=" on its command line.
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <sys/syscall.h>
#include <linux/kexec.h>

int main(int argc, char **argv)
{
	int kernel, initrd;

	if (argc != 4) {
		fprintf(stderr, "usage: kexec_crash KERNEL INITRD CMDLINE\n");
		return 2;
	}
	kernel = open(argv[1], O_RDONLY);
	initrd = open(argv[2], O_RDONLY);
	if (kernel < 0 || initrd < 0) {
		perror("kexec_crash: open");
		return 1;
	}
	if (syscall(__NR_kexec_file_load, kernel, initrd, strlen(argv[3]) + 1, argv[3],
		    KEXEC_FILE_ON_CRASH) != 0) {
		perror("kexec_crash: kexec_file_load");
		return 1;
	}
	return 0;
}
