#include "windriver/kernel_files.h"

static NTSTATUS OpenByPath(PCWSTR path, ACCESS_MASK access, ULONG disposition, HANDLE* file) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  RtlInitUnicodeString(&name, path);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  return ZwCreateFile(file, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                      FILE_SHARE_READ, disposition,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static NTSTATUS FileSize(HANDLE file, ULONG max_size, ULONG* size) {
  FILE_STANDARD_INFORMATION info;
  IO_STATUS_BLOCK io;
  const NTSTATUS status =
      ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation);
  if (!NT_SUCCESS(status)) return status;
  if (info.EndOfFile.QuadPart < 0 || info.EndOfFile.QuadPart > (LONGLONG)max_size) {
    return STATUS_FILE_TOO_LARGE;
  }
  *size = (ULONG)info.EndOfFile.QuadPart;
  return STATUS_SUCCESS;
}

static NTSTATUS ReadExactly(HANDLE file, UCHAR* data, ULONG size) {
  IO_STATUS_BLOCK io;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  if (size == 0) return STATUS_SUCCESS;
  const NTSTATUS status = ZwReadFile(file, NULL, NULL, NULL, &io, data, size, &offset, NULL);
  if (!NT_SUCCESS(status)) return status;
  return io.Information == size ? STATUS_SUCCESS : STATUS_END_OF_FILE;
}

NTSTATUS QxReadWholeFile(PCWSTR path, ULONG max_size, UCHAR** data, ULONG* size) {
  HANDLE file;
  NTSTATUS status = OpenByPath(path, GENERIC_READ, FILE_OPEN, &file);
  if (!NT_SUCCESS(status)) return status;
  status = FileSize(file, max_size, size);
  if (NT_SUCCESS(status)) {
    /* One byte at least, so that an empty file still has a block to free. */
    *data = ExAllocatePoolWithTag(PagedPool, *size + 1, QX_POOL_TAG);
    status = *data != NULL ? ReadExactly(file, *data, *size) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status) && *data != NULL) ExFreePoolWithTag(*data, QX_POOL_TAG);
  }
  ZwClose(file);
  return status;
}

NTSTATUS QxCreateEmptyFile(PCWSTR path, HANDLE* file) {
  return OpenByPath(path, FILE_WRITE_DATA, FILE_OVERWRITE_IF, file);
}

NTSTATUS QxAppend(HANDLE file, const void* data, ULONG size) {
  IO_STATUS_BLOCK io;
  if (size == 0) return STATUS_SUCCESS;
  /* A synchronous handle written without an offset goes on from where the
   * last write ended. */
  return ZwWriteFile(file, NULL, NULL, NULL, &io, (PVOID)data, size, NULL, NULL);
}
