/* The stand-in adapter driver: a kernel-mode driver that plays the simulated
 * machine for the Windows build of qxfwload under Wine. At load it reads the
 * machine image the runner wrote, makes the ports' registry keys, devices and
 * links, and then answers IOCTL_SCSI_MINIPORT with the simulated machine's
 * own core, recording every request in its trace file. */
#include <ntddk.h>

#include "windriver/kernel_files.h"
#include "windriver/machine_bridge.h"
#include "windriver/port_objects.h"

/* The runner keeps both files in the prefix's C: drive. */
static const WCHAR kMachinePath[] = L"\\??\\C:\\qxsim\\machine.bin";
static const WCHAR kTracePath[] = L"\\??\\C:\\qxsim\\trace.bin";

#define QX_IOCTL_SCSI_MINIPORT 0x0004D008u

typedef struct {
  void* machine_storage;
  QxMachine* machine;
  HANDLE trace;
  /* One request at a time, as on the simulated machine. */
  KMUTEX lock;
  /* The number the next open gets; see QxDispatchCreate. */
  ULONG next_handle;
  QxPortObjects ports;
} QxDriver;

static QxDriver* g_driver;

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void Lock(QxDriver* state) {
  KeWaitForSingleObject(&state->lock, Executive, KernelMode, FALSE, NULL);
}

static void Unlock(QxDriver* state) { KeReleaseMutex(&state->lock, FALSE); }

/* Each open is numbered the way the simulated machine numbers its handles,
 * from the first device handle up afresh at each load, so that the trace
 * lines of both builds name the same handles. */
static NTSTATUS QxDispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UNREFERENCED_PARAMETER(device);
  if (stack->FileObject == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  Lock(g_driver);
  stack->FileObject->FsContext = (PVOID)(ULONG_PTR)g_driver->next_handle++;
  Unlock(g_driver);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS QxDispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS QxDispatchUnsupported(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* The adapters' time over a request, spent before its answer is given. */
static void SpendBusyTime(uint32_t busy_ms) {
  LARGE_INTEGER interval;
  if (busy_ms == 0) return;
  interval.QuadPart = -(LONGLONG)busy_ms * 10000; /* relative, in 100 ns units */
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* The requests travel in one buffer that is both input and output, as
 * METHOD_BUFFERED hands it over; a request of different sizes is refused
 * rather than guessed at. */
static int Serve(int port, ULONG code, UCHAR* buffer, ULONG in_size, ULONG out_size) {
  uint32_t busy_ms = 0;
  if (code != QX_IOCTL_SCSI_MINIPORT || buffer == NULL || in_size != out_size) return 0;
  const int served = QxServeRequest(g_driver->machine, port, buffer, in_size, &busy_ms);
  SpendBusyTime(busy_ms);
  return served;
}

static int TraceHead(ULONG handle, int port, ULONG code, ULONG in_size, ULONG sent, ULONG answered,
                     const UCHAR* buffer) {
  UCHAR header[QX_CONTROL_HEADER_SIZE];
  QxEncodeControlHeader(handle, (uint32_t)port, code, in_size, sent, answered, header);
  return NT_SUCCESS(QxAppend(g_driver->trace, header, sizeof header)) &&
         NT_SUCCESS(QxAppend(g_driver->trace, buffer, sent));
}

static int TraceTail(const UCHAR* buffer, ULONG answered, int served) {
  const UCHAR result = served ? 1 : 0;
  return NT_SUCCESS(QxAppend(g_driver->trace, buffer, answered)) &&
         NT_SUCCESS(QxAppend(g_driver->trace, &result, sizeof result));
}

static NTSTATUS QxDispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const int port = ((QxPortDevice*)device->DeviceExtension)->port;
  const ULONG handle =
      stack->FileObject != NULL ? (ULONG)(ULONG_PTR)stack->FileObject->FsContext : 0;
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
  const ULONG sent = buffer != NULL ? in_size : 0;
  const ULONG answered = buffer != NULL ? out_size : 0;
  Lock(g_driver);
  /* A request is carried out only with its whole record in the trace: one
   * that can't be recorded fails, and the adapters keep nothing of it. */
  const int head_recorded = TraceHead(handle, port, code, in_size, sent, answered, buffer);
  int served = head_recorded && Serve(port, code, buffer, in_size, out_size);
  if (head_recorded && TraceTail(buffer, answered, served)) {
    QxKeepRequest(g_driver->machine);
  } else {
    served = 0;
  }
  Unlock(g_driver);
  /* An error status leaves the caller's buffer and byte count alone, as a
   * failed DeviceIoControl does. */
  return served ? Complete(irp, STATUS_SUCCESS, out_size)
                : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void Release(QxDriver* state) {
  QxRemovePortObjects(&state->ports);
  if (state->trace != NULL) ZwClose(state->trace);
  if (state->machine_storage != NULL) ExFreePoolWithTag(state->machine_storage, QX_POOL_TAG);
  ExFreePoolWithTag(state, QX_POOL_TAG);
}

static VOID QxUnload(PDRIVER_OBJECT driver) {
  UNREFERENCED_PARAMETER(driver);
  Release(g_driver);
  g_driver = NULL;
}

static NTSTATUS LoadMachine(QxDriver* state) {
  UCHAR* image;
  ULONG size;
  NTSTATUS status = QxReadWholeFile(kMachinePath, QxMaxMachineImageSize(), &image, &size);
  if (!NT_SUCCESS(status)) return status;
  state->machine_storage = ExAllocatePoolWithTag(NonPagedPool, QxMachineStorageSize(), QX_POOL_TAG);
  if (state->machine_storage != NULL) {
    state->machine = QxLoadMachine(state->machine_storage, image, size);
  }
  ExFreePoolWithTag(image, QX_POOL_TAG);
  if (state->machine_storage == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  return state->machine != NULL ? STATUS_SUCCESS : STATUS_DATA_ERROR;
}

static void SetDispatchRoutines(PDRIVER_OBJECT driver) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
    driver->MajorFunction[i] = QxDispatchUnsupported;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = QxDispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = QxDispatchClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = QxDispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QxDispatchControl;
  driver->DriverUnload = QxUnload;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  UNREFERENCED_PARAMETER(registry_path);
  QxDriver* state = ExAllocatePoolWithTag(NonPagedPool, sizeof *state, QX_POOL_TAG);
  if (state == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(state, sizeof *state);
  KeInitializeMutex(&state->lock, 0);
  state->next_handle = QX_FIRST_DEVICE_HANDLE;
  g_driver = state;
  /* Requests may arrive as soon as the first link exists. */
  SetDispatchRoutines(driver);
  NTSTATUS status = LoadMachine(state);
  if (NT_SUCCESS(status)) status = QxCreateEmptyFile(kTracePath, &state->trace);
  if (NT_SUCCESS(status)) status = QxCreatePortObjects(driver, state->machine, &state->ports);
  if (!NT_SUCCESS(status)) {
    Release(state);
    g_driver = NULL;
  }
  return status;
}
