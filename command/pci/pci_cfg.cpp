
#include "pci/pci_cfg.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "conf/busid.h"
#include "pci/pci_regs.h"

namespace {

void set_code(uint32_t *code_out, uint32_t code) {
    if (code_out)
        *code_out = code;
}

// Drops the cached descriptor, whoever holds it.
void cache_reset(pci_snapshot *s) {
    if (s->cached_fd >= 0)
        close(s->cached_fd);
    s->cached_function = nullptr;
    s->cached_mode = PCI_CFG_NONE;
    s->cached_fd = -1;
}

// One accessor: the primitive plus the access bit of its width and direction.
// Register bytes stand little-endian in configuration space whatever the host.
bool cfg_read(pci_function *f, uint32_t *value, unsigned width, uint32_t offset, uint32_t bit,
              uint32_t *code_out) {
    uint8_t bytes[4];
    uint32_t code = 0;
    if (!pci_cfg_access(f, bytes, width, offset, PCI_CFG_READ, &code)) {
        set_code(code_out, code | bit);
        return false;
    }
    uint32_t v = 0;
    for (unsigned i = width; i-- > 0;)
        v = (v << 8) | bytes[i];
    *value = v;
    return true;
}

bool cfg_write(pci_function *f, uint32_t value, unsigned width, uint32_t offset, uint32_t bit,
               uint32_t *code_out) {
    uint8_t bytes[4];
    for (unsigned i = 0; i < width; i++)
        bytes[i] = (uint8_t)(value >> (8 * i));
    uint32_t code = 0;
    if (!pci_cfg_access(f, bytes, width, offset, PCI_CFG_WRITE, &code)) {
        set_code(code_out, code | bit);
        return false;
    }
    return true;
}

// The identifying registers every scanned function keeps, in reading order.
enum field_slot { F_VENDOR, F_DEVICE, F_REVISION, F_PROG_IF, F_SUBCLASS, F_BASE_CLASS, F_HEADER };
struct scan_register {
    uint8_t offset;
    uint8_t width;
    field_slot slot;
};
const scan_register scan_registers[] = {
    {PCI_VENDOR_ID, 2, F_VENDOR},
    {PCI_DEVICE_ID, 2, F_DEVICE},
    {PCI_REVISION_ID, 1, F_REVISION},
    {PCI_CLASS_PROG, 1, F_PROG_IF},
    {PCI_CLASS_DEVICE, 1, F_SUBCLASS},
    {PCI_CLASS_DEVICE + 1, 1, F_BASE_CLASS},
    {PCI_HEADER_TYPE, 1, F_HEADER},
};

void store_field(pci_function *f, field_slot slot, uint32_t v) {
    switch (slot) {
    case F_VENDOR: f->vendor_id = (uint16_t)v; break;
    case F_DEVICE: f->device_id = (uint16_t)v; break;
    case F_REVISION: f->revision_id = (uint8_t)v; break;
    case F_PROG_IF: f->prog_if = (uint8_t)v; break;
    case F_SUBCLASS: f->subclass = (uint8_t)v; break;
    case F_BASE_CLASS: f->base_class = (uint8_t)v; break;
    case F_HEADER: f->header_type = (uint8_t)v; break;
    }
}

// Reads the identifying registers into f; 0, or the failed read's code.
uint32_t read_identity(pci_function *f) {
    for (const scan_register &r : scan_registers) {
        uint32_t v = 0;
        uint32_t code = 0;
        bool ok = r.width == 2 ? cfg_read(f, &v, 2, r.offset, PCI_ACCESS_READ16, &code)
                               : cfg_read(f, &v, 1, r.offset, PCI_ACCESS_READ8, &code);
        if (!ok)
            return code;
        store_field(f, r.slot, v);
    }
    return 0;
}

// Builds one function from a directory entry; 0 with *out set, or a step
// code with errno set.
uint32_t scan_entry(pci_snapshot *s, const char *dir, const char *name, pci_function **out) {
    char copy[NAME_MAX + 1];
    pci_busid id;
    if (snprintf(copy, sizeof copy, "%s", name) >= (int)sizeof copy ||
        split_busid(copy, &id, nullptr) != 0) {
        errno = EINVAL;
        return PCI_STEP_NAME;
    }
    pci_function *f = (pci_function *)calloc(1, sizeof *f);
    if (!f) {
        errno = ENOMEM;
        return PCI_STEP_FUNCTION_MEM;
    }
    f->snapshot = s;
    size_t size = strlen(dir) + 1 + strlen(name) + sizeof "/config";
    f->config_path = (char *)malloc(size);
    if (!f->config_path) {
        pci_function_free(f);
        errno = ENOMEM;
        return PCI_STEP_PATH_MEM;
    }
    snprintf(f->config_path, size, "%s/%s/config", dir, name);
    f->domain = id.domain;
    f->bus = id.bus;
    f->device = id.device;
    f->function = id.function;
    uint32_t code = read_identity(f);
    if (code) {
        int saved = errno;
        pci_function_free(f);
        errno = saved;
        return code | PCI_SCAN_READ;
    }
    *out = f;
    return 0;
}

void insert_head(pci_snapshot *s, pci_function *f) {
    f->next = s->first;
    if (s->first)
        s->first->prev = &f->next;
    else
        s->last = &f->next;
    s->first = f;
    f->prev = &s->first;
}

}  // namespace

pci_snapshot *pci_snap_init(uint32_t *code_out) {
    pci_snapshot *s = (pci_snapshot *)malloc(sizeof *s);
    if (!s) {
        set_code(code_out, PCI_STEP_SNAPSHOT_MEM);
        errno = ENOMEM;
        return nullptr;
    }
    s->first = nullptr;
    s->last = &s->first;
    s->cached_function = nullptr;
    s->cached_mode = PCI_CFG_NONE;
    s->cached_fd = -1;
    return s;
}

bool pci_scan(pci_snapshot *snapshot, uint32_t *code_out) {
    return pci_scan_dir(snapshot, PCI_DEVICES_DIR, code_out);
}

bool pci_scan_dir(pci_snapshot *snapshot, const char *dir, uint32_t *code_out) {
    DIR *d = opendir(dir);
    if (!d) {
        set_code(code_out, PCI_STEP_OPENDIR);
        return false;
    }
    uint32_t code = 0;
    for (;;) {
        // A read error and the end of the directory both return null; only
        // errno tells them apart, and a half-read tree must not pass as whole.
        errno = 0;
        struct dirent *e = readdir(d);
        if (!e) {
            if (errno != 0)
                code = PCI_STEP_READDIR;
            break;
        }
        if (e->d_name[0] == '.')
            continue;
        pci_function *f = nullptr;
        code = scan_entry(snapshot, dir, e->d_name, &f);
        if (code)
            break;
        if (f->vendor_id == PCI_VENDOR_ID_NONE) {
            pci_function_free(f);
            continue;
        }
        insert_head(snapshot, f);
    }
    int saved = errno;
    closedir(d);
    if (!code) {
        errno = saved;
        return true;
    }
    set_code(code_out, code | PCI_SCAN_STOPPED);
    errno = saved;
    return false;
}

void pci_function_free(pci_function *function) {
    if (!function)
        return;
    pci_snapshot *s = function->snapshot;
    if (s && s->cached_function == function)
        cache_reset(s);
    free(function->config_path);
    free(function);
}

void pci_snap_free(pci_snapshot *snapshot) {
    if (!snapshot)
        return;
    while (pci_function *f = snapshot->first) {
        snapshot->first = f->next;
        if (f->next)
            f->next->prev = &snapshot->first;
        else
            snapshot->last = &snapshot->first;
        pci_function_free(f);
    }
    // Only a function freed outside the list could still hold it.
    cache_reset(snapshot);
    free(snapshot);
}

pci_function *pci_snap_find(const pci_snapshot *snapshot, uint16_t domain, uint8_t bus,
                            uint8_t device, uint8_t function) {
    for (pci_function *f = snapshot->first; f; f = f->next)
        if (f->domain == domain && f->bus == bus && f->device == device && f->function == function)
            return f;
    return nullptr;
}

bool pci_cfg_access(pci_function *function, void *buffer, unsigned width, uint32_t offset,
                    int mode, uint32_t *code_out) {
    if (width == 0 || width > 4 || (offset & (width - 1)) != 0) {
        set_code(code_out, PCI_STEP_ALIGN);
        errno = EINVAL;
        return false;
    }
    int flags;
    if (mode == PCI_CFG_READ)
        flags = O_RDONLY;
    else if (mode == PCI_CFG_WRITE)
        flags = O_WRONLY;
    else {
        set_code(code_out, PCI_STEP_MODE);
        errno = EINVAL;
        return false;
    }
    pci_snapshot *s = function->snapshot;
    if (s->cached_function != function || s->cached_mode != mode) {
        int fd = open(function->config_path, flags | O_CLOEXEC);
        if (fd < 0) {
            set_code(code_out, PCI_STEP_OPEN);
            return false;
        }
        cache_reset(s);
        s->cached_function = function;
        s->cached_mode = mode;
        s->cached_fd = fd;
    }
    ssize_t n = mode == PCI_CFG_READ ? pread(s->cached_fd, buffer, width, (off_t)offset)
                                     : pwrite(s->cached_fd, buffer, width, (off_t)offset);
    if (n < 0) {
        set_code(code_out, mode == PCI_CFG_READ ? PCI_STEP_READ : PCI_STEP_WRITE);
        return false;
    }
    if ((size_t)n != width) {
        set_code(code_out, PCI_STEP_SHORT);
        errno = ENXIO;
        return false;
    }
    return true;
}

bool pci_cfg_read8(pci_function *function, uint8_t *value, uint32_t offset, uint32_t *code_out) {
    uint32_t v;
    if (!cfg_read(function, &v, 1, offset, PCI_ACCESS_READ8, code_out))
        return false;
    *value = (uint8_t)v;
    return true;
}

bool pci_cfg_read16(pci_function *function, uint16_t *value, uint32_t offset, uint32_t *code_out) {
    uint32_t v;
    if (!cfg_read(function, &v, 2, offset, PCI_ACCESS_READ16, code_out))
        return false;
    *value = (uint16_t)v;
    return true;
}

bool pci_cfg_read32(pci_function *function, uint32_t *value, uint32_t offset, uint32_t *code_out) {
    return cfg_read(function, value, 4, offset, PCI_ACCESS_READ32, code_out);
}

bool pci_cfg_write8(pci_function *function, uint8_t value, uint32_t offset, uint32_t *code_out) {
    return cfg_write(function, value, 1, offset, PCI_ACCESS_WRITE8, code_out);
}

bool pci_cfg_write16(pci_function *function, uint16_t value, uint32_t offset, uint32_t *code_out) {
    return cfg_write(function, value, 2, offset, PCI_ACCESS_WRITE16, code_out);
}

bool pci_cfg_write32(pci_function *function, uint32_t value, uint32_t offset, uint32_t *code_out) {
    return cfg_write(function, value, 4, offset, PCI_ACCESS_WRITE32, code_out);
}
