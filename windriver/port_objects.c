#include "windriver/port_objects.h"

/* Room for the longest name below: "\DosDevices\Scsi15:" or
 * "\Device\QxsimScsi15" and its NUL. */
#define QX_NAME_CAPACITY 32
/* A "Driver" value is at most 255 bytes; one wide character each, and a NUL. */
#define QX_DRIVER_VALUE_CAPACITY 256

static const WCHAR kDeviceMapPath[] = L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";

/* Writes prefix, the decimal port number and suffix into out. REQUIRES: the
 * result and its NUL fit QX_NAME_CAPACITY; 0 <= number < 100. */
static void FormatPortName(WCHAR out[QX_NAME_CAPACITY], PCWSTR prefix, int number, PCWSTR suffix) {
  int at = 0;
  while (*prefix != 0) out[at++] = *prefix++;
  if (number >= 10) out[at++] = (WCHAR)(L'0' + number / 10);
  out[at++] = (WCHAR)(L'0' + number % 10);
  while (*suffix != 0) out[at++] = *suffix++;
  out[at] = 0;
}

static NTSTATUS CreateVolatileKey(HANDLE parent, PCWSTR name, HANDLE* key, ULONG* disposition) {
  UNICODE_STRING text;
  OBJECT_ATTRIBUTES attributes;
  RtlInitUnicodeString(&text, name);
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent,
                             NULL);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_VOLATILE, disposition);
}

/* HARDWARE\DEVICEMAP\Scsi, made if it isn't there. */
static NTSTATUS OpenScsiKey(HANDLE* scsi) {
  HANDLE device_map;
  ULONG disposition;
  NTSTATUS status = CreateVolatileKey(NULL, kDeviceMapPath, &device_map, &disposition);
  if (!NT_SUCCESS(status)) return status;
  status = CreateVolatileKey(device_map, L"Scsi", scsi, &disposition);
  ZwClose(device_map);
  return status;
}

/* A fresh key: one left behind (by a machine whose driver was not unloaded)
 * could carry a value this machine doesn't have. */
static NTSTATUS CreateFreshKey(HANDLE parent, PCWSTR name, HANDLE* key) {
  ULONG disposition;
  NTSTATUS status = CreateVolatileKey(parent, name, key, &disposition);
  if (NT_SUCCESS(status) && disposition == REG_OPENED_EXISTING_KEY) {
    ZwDeleteKey(*key);
    ZwClose(*key);
    status = CreateVolatileKey(parent, name, key, &disposition);
  }
  return status;
}

/* The value is the name's bytes widened one to one, and a NUL. */
static NTSTATUS SetDriverValue(HANDLE key, const char* name, uint32_t length) {
  WCHAR value[QX_DRIVER_VALUE_CAPACITY];
  UNICODE_STRING value_name;
  uint32_t i;
  for (i = 0; i < length && i + 1 < QX_DRIVER_VALUE_CAPACITY; ++i) {
    value[i] = (WCHAR)(unsigned char)name[i];
  }
  value[i] = 0;
  RtlInitUnicodeString(&value_name, L"Driver");
  return ZwSetValueKey(key, &value_name, 0, REG_SZ, value, (i + 1) * sizeof(WCHAR));
}

static NTSTATUS CreatePortKey(HANDLE scsi, const QxMachine* machine, int port, HANDLE* key) {
  WCHAR name[QX_NAME_CAPACITY];
  const char* driver_name;
  uint32_t length;
  FormatPortName(name, L"Scsi Port ", port, L"");
  NTSTATUS status = CreateFreshKey(scsi, name, key);
  if (NT_SUCCESS(status) && QxPortDriver(machine, port, &driver_name, &length)) {
    status = SetDriverValue(*key, driver_name, length);
  }
  return status;
}

static NTSTATUS CreatePortDevice(PDRIVER_OBJECT driver, int port, QxPortObjects* objects) {
  WCHAR device_text[QX_NAME_CAPACITY];
  WCHAR link_text[QX_NAME_CAPACITY];
  UNICODE_STRING device_name;
  UNICODE_STRING link_name;
  PDEVICE_OBJECT device;
  FormatPortName(device_text, L"\\Device\\QxsimScsi", port, L"");
  FormatPortName(link_text, L"\\DosDevices\\Scsi", port, L":");
  RtlInitUnicodeString(&device_name, device_text);
  RtlInitUnicodeString(&link_name, link_text);
  NTSTATUS status = IoCreateDevice(driver, sizeof(QxPortDevice), &device_name,
                                   FILE_DEVICE_CONTROLLER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ((QxPortDevice*)device->DeviceExtension)->port = port;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  objects->devices[port] = device;
  status = IoCreateSymbolicLink(&link_name, &device_name);
  if (NT_SUCCESS(status)) objects->links[port] = TRUE;
  return status;
}

NTSTATUS QxCreatePortObjects(PDRIVER_OBJECT driver, const QxMachine* machine,
                             QxPortObjects* objects) {
  HANDLE scsi;
  NTSTATUS status = OpenScsiKey(&scsi);
  if (!NT_SUCCESS(status)) return status;
  for (int port = 0; port < QX_PORT_COUNT && NT_SUCCESS(status); ++port) {
    if (!QxPortListed(machine, port)) continue;
    status = CreatePortKey(scsi, machine, port, &objects->keys[port]);
    if (!NT_SUCCESS(status)) objects->keys[port] = NULL;
    if (NT_SUCCESS(status) && QxPortDevicePresent(machine, port)) {
      status = CreatePortDevice(driver, port, objects);
    }
  }
  ZwClose(scsi);
  return status;
}

void QxRemovePortObjects(QxPortObjects* objects) {
  for (int port = 0; port < QX_PORT_COUNT; ++port) {
    if (objects->links[port]) {
      WCHAR link_text[QX_NAME_CAPACITY];
      UNICODE_STRING link_name;
      FormatPortName(link_text, L"\\DosDevices\\Scsi", port, L":");
      RtlInitUnicodeString(&link_name, link_text);
      IoDeleteSymbolicLink(&link_name);
      objects->links[port] = FALSE;
    }
    if (objects->devices[port] != NULL) {
      IoDeleteDevice(objects->devices[port]);
      objects->devices[port] = NULL;
    }
    if (objects->keys[port] != NULL) {
      ZwDeleteKey(objects->keys[port]);
      ZwClose(objects->keys[port]);
      objects->keys[port] = NULL;
    }
  }
}
