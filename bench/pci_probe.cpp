// Probe program for the PCI snapshot and the alternative list, run by the
// benchmark bench/pci_scan.sh (and by sandbox tests, inside a namespace whose
// /sys/bus/pci/devices and /etc/opt/KVXRtarnex are fixtures).
//
//   pci_probe scan [DIR]         snapshot of PCI_DEVICES_DIR (or DIR), one line
//                                per function in list order, then the result
//   pci_probe cfg ADDR OP...     accesses on one function of the snapshot;
//                                OP is r8@OFF, r16@OFF, r32@OFF, w8@OFF=VAL,
//                                w16@OFF=VAL or w32@OFF=VAL
//   pci_probe repeat N [DIR]     N snapshots taken and freed; prints the count
//   pci_probe d0 [PATH]          reads the alternative list (alterpm.conf, or
//                                PATH), one line per item, then the result
//
// Results: "ok", or "fail CODE ERRNO" with the PCI reason code in hex.
// The exit status is 0 when every step succeeded, 1 otherwise.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "conf/conf.h"
#include "core/options.h"
#include "pci/alterpm.h"
#include "pci/pci_cfg.h"
#include "runtime/log.h"

namespace {

const char LOG_FILE[] = "/var/opt/KVXRtarnex/log/user.log";

int probe_usage() {
    fputs("usage: pci_probe scan [DIR] | cfg ADDR OP... | repeat N [DIR] | d0 [PATH]\n", stderr);
    return 2;
}

void print_fail(uint32_t code, int err) {
    printf("fail %x %d\n", code, err);
}

bool take_snapshot(const char *dir, pci_snapshot **out) {
    uint32_t code = 0;
    pci_snapshot *s = pci_snap_init(&code);
    if (!s) {
        print_fail(code, errno);
        return false;
    }
    *out = s;
    bool ok = dir ? pci_scan_dir(s, dir, &code) : pci_scan(s, &code);
    if (!ok)
        print_fail(code, errno);
    return ok;
}

void print_function(const pci_function *f) {
    printf("%04x:%02x:%02x.%x %04x:%04x %02x %02x%02x%02x %02x\n", f->domain, f->bus, f->device,
           f->function, f->vendor_id, f->device_id, f->revision_id, f->base_class, f->subclass,
           f->prog_if, f->header_type);
}

int do_scan(const char *dir) {
    pci_snapshot *s = nullptr;
    bool ok = take_snapshot(dir, &s);
    if (s)
        for (const pci_function *f = s->first; f; f = f->next)
            print_function(f);
    if (ok)
        puts("ok");
    pci_snap_free(s);
    return ok ? 0 : 1;
}

int do_repeat(long n, const char *dir) {
    long functions = 0;
    for (long i = 0; i < n; i++) {
        pci_snapshot *s = nullptr;
        bool ok = take_snapshot(dir, &s);
        functions = 0;
        for (const pci_function *f = s ? s->first : nullptr; f; f = f->next)
            functions++;
        pci_snap_free(s);
        if (!ok)
            return 1;
    }
    printf("%ld\n", functions);
    return 0;
}

// One access "r16@0x06" or "w8@0x42=0x01"; prints the value read or "ok".
bool do_op(pci_function *f, const char *op) {
    char kind = 0;
    unsigned width = 0;
    int offset = 0, value = 0;
    int n = sscanf(op, "%c%u@%i=%i", &kind, &width, &offset, &value);
    uint32_t code = 0;
    uint32_t d = 0;
    bool ok;
    if (kind == 'r' && n == 3 && width == 8) {
        uint8_t b = 0;
        ok = pci_cfg_read8(f, &b, (uint32_t)offset, &code);
        d = b;
    } else if (kind == 'r' && n == 3 && width == 16) {
        uint16_t w = 0;
        ok = pci_cfg_read16(f, &w, (uint32_t)offset, &code);
        d = w;
    } else if (kind == 'r' && n == 3 && width == 32) {
        ok = pci_cfg_read32(f, &d, (uint32_t)offset, &code);
    } else if (kind == 'w' && n == 4 && width == 8) {
        ok = pci_cfg_write8(f, (uint8_t)value, (uint32_t)offset, &code);
    } else if (kind == 'w' && n == 4 && width == 16) {
        ok = pci_cfg_write16(f, (uint16_t)value, (uint32_t)offset, &code);
    } else if (kind == 'w' && n == 4 && width == 32) {
        ok = pci_cfg_write32(f, (uint32_t)value, (uint32_t)offset, &code);
    } else {
        probe_usage();
        return false;
    }
    if (!ok)
        print_fail(code, errno);
    else if (kind == 'r')
        printf("%x\n", d);
    else
        puts("ok");
    return ok;
}

int do_cfg(const char *addr, int nops, char **ops) {
    unsigned domain, bus, device, function;
    if (sscanf(addr, "%x:%x:%x.%x", &domain, &bus, &device, &function) != 4)
        return probe_usage();
    pci_snapshot *s = nullptr;
    if (!take_snapshot(nullptr, &s)) {
        pci_snap_free(s);
        return 1;
    }
    pci_function *f = pci_snap_find(s, (uint16_t)domain, (uint8_t)bus, (uint8_t)device,
                                    (uint8_t)function);
    if (!f) {
        printf("absent %s\n", addr);
        pci_snap_free(s);
        return 1;
    }
    bool all = true;
    for (int i = 0; i < nops; i++)
        all = do_op(f, ops[i]) && all;
    pci_snap_free(s);
    return all ? 0 : 1;
}

int do_d0(const char *path) {
    unsigned detail = 0;
    g_log = log_open("pci_probe", LOG_FILE, 0x100000, 4, &detail);  // null: no log
    g_opt.timeout = 120;
    int r = path ? parse_d0_conf_file(path) : parse_d0_conf();
    if (r == 0) {
        for (conf_record *rec = g_alterpm_conf.first; rec; rec = rec->next) {
            uint16_t vendor, device;
            uint8_t revision, wildcard;
            if (parse_d0_item(rec, &vendor, &device, &revision, &wildcard) == 0)
                printf("%04x:%04x:%02x %u %u:%u\n", vendor, device, revision, wildcard,
                       rec->line, rec->column);
        }
        puts("ok");
    } else {
        puts("fail");
    }
    if (g_log)
        log_close(g_log);
    return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return probe_usage();
    const char *cmd = argv[1];
    if (strcmp(cmd, "scan") == 0 && argc <= 3)
        return do_scan(argc == 3 ? argv[2] : nullptr);
    if (strcmp(cmd, "cfg") == 0 && argc >= 3)
        return do_cfg(argv[2], argc - 3, argv + 3);
    if (strcmp(cmd, "repeat") == 0 && (argc == 3 || argc == 4))
        return do_repeat(strtol(argv[2], nullptr, 0), argc == 4 ? argv[3] : nullptr);
    if (strcmp(cmd, "d0") == 0 && argc <= 3)
        return do_d0(argc == 3 ? argv[2] : nullptr);
    return probe_usage();
}
