/* The stand-in driver's view of the machine it plays: the simulated
 * machine's own core (sim/driver_core.h, sim/machine_image.h) behind a C
 * interface, because the kernel headers the driver needs are C only. */
#ifndef QXFW_WINDRIVER_MACHINE_BRIDGE_H_
#define QXFW_WINDRIVER_MACHINE_BRIDGE_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The machine's description and its adapters' changing state. */
typedef struct QxMachine QxMachine;

enum {
  QX_PORT_COUNT = 16,
  /* Bytes of one trace record's header (sim/control_record.h). */
  QX_CONTROL_HEADER_SIZE = 24,
  /* The number of a load's first open device (sim::kFirstDeviceHandle). */
  QX_FIRST_DEVICE_HANDLE = 4
};

/* Storage the caller provides for one machine: this many bytes, aligned
 * for any object. */
size_t QxMachineStorageSize(void);

/* The longest machine image there is; longer files are not images. */
uint32_t QxMaxMachineImageSize(void);

/* Builds the machine a machine image describes in `storage`, its adapters
 * holding the firmware the image gives them (kept from earlier runs, with
 * QXFW_STATE). Returns it, or NULL when the image is malformed.
 * REQUIRES: `storage` holds QxMachineStorageSize() bytes; `image` points at
 * `size` readable bytes. */
QxMachine* QxLoadMachine(void* storage, const uint8_t* image, uint32_t size);

/* Whether the machine lists `port`, whether its device is present, and its
 * "Driver" value: nonzero with *name and *length set, or 0 for no value.
 * REQUIRES: 0 <= port < QX_PORT_COUNT. */
int QxPortListed(const QxMachine* machine, int port);
int QxPortDevicePresent(const QxMachine* machine, int port);
int QxPortDriver(const QxMachine* machine, int port, const char** name, uint32_t* length);

/* Answers one IOCTL_SCSI_MINIPORT request on `port` in `buffer`, input and
 * output alike, and sets *busy_ms to the milliseconds the adapters take
 * over it, to be waited before the answer is given. Returns 0 when the
 * request must fail. What the request changes in the adapters is kept
 * aside until QxKeepRequest: a request whose trace record can't be written
 * is not carried out. Reads and writes only buffer[0, size).
 * REQUIRES: 0 <= port < QX_PORT_COUNT; `buffer` points at `size` bytes. */
int QxServeRequest(QxMachine* machine, int port, uint8_t* buffer, uint32_t size, uint32_t* busy_ms);

/* Makes the changes of the last QxServeRequest the adapters' own. */
void QxKeepRequest(QxMachine* machine);

/* Writes the header of one trace record. */
void QxEncodeControlHeader(uint32_t handle, uint32_t port, uint32_t code, uint32_t size,
                           uint32_t sent_length, uint32_t answer_length,
                           uint8_t out[QX_CONTROL_HEADER_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* QXFW_WINDRIVER_MACHINE_BRIDGE_H_ */
