/* Whole-file reads and appends for the stand-in driver, by NT path. */
#ifndef QXFW_WINDRIVER_KERNEL_FILES_H_
#define QXFW_WINDRIVER_KERNEL_FILES_H_

#include <ntddk.h>

/* Reads the whole file at `path` into a new paged-pool block that the caller
 * frees with ExFreePoolWithTag(*data, QX_POOL_TAG). A file longer than
 * `max_size` bytes is refused with STATUS_FILE_TOO_LARGE. */
NTSTATUS QxReadWholeFile(PCWSTR path, ULONG max_size, UCHAR** data, ULONG* size);

/* Creates, or empties, the file at `path` for writing from its start. */
NTSTATUS QxCreateEmptyFile(PCWSTR path, HANDLE* file);

/* Writes `size` bytes at the file's current end. REQUIRES: `file` comes from
 * QxCreateEmptyFile. */
NTSTATUS QxAppend(HANDLE file, const void* data, ULONG size);

/* Pool tag of every block the driver allocates. */
#define QX_POOL_TAG 0x6D69737Au /* "zsim" */

#endif /* QXFW_WINDRIVER_KERNEL_FILES_H_ */
