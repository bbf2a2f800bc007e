#include "pci/register.h"

#include "pci/alterpm.h"
#include "pci/driver.h"
#include "pci/hba_info.h"

int register_hba_addr_conf(int32_t timeout_ms) {
    if (parse_d0_conf(timeout_ms) != 0)
        return -1;
    shpc_info_table *table = nullptr;
    hba_info_array *array = nullptr;
    if (build_shpc_hba_info(&table, &array) == -1)
        return -1;
    int result = set_hba_info(table, array);
    // The driver read the records during the calls; nothing keeps them.
    hba_records_free(table, array);
    return result;
}
