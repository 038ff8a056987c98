/* What the stand-in driver makes of the machine's ports: the registry keys
 * HARDWARE\DEVICEMAP\Scsi\Scsi Port N with their "Driver" values, and the
 * devices with their \DosDevices\ScsiN: links. */
#ifndef QXFW_WINDRIVER_PORT_OBJECTS_H_
#define QXFW_WINDRIVER_PORT_OBJECTS_H_

#include <ntddk.h>

#include "windriver/machine_bridge.h"

/* Everything created for the ports, so that all of it can be removed. */
typedef struct {
  HANDLE keys[QX_PORT_COUNT];
  PDEVICE_OBJECT devices[QX_PORT_COUNT];
  BOOLEAN links[QX_PORT_COUNT];
} QxPortObjects;

/* The extension of every port device. */
typedef struct {
  int port;
} QxPortDevice;

/* Creates a volatile key, with the port's "Driver" value when it has one,
 * for every port the machine lists, and a device and its link for every
 * listed port whose device is present. A key left from an earlier machine is
 * replaced. On failure what was created is recorded in `objects` all the
 * same. REQUIRES: `objects` is zeroed. */
NTSTATUS QxCreatePortObjects(PDRIVER_OBJECT driver, const QxMachine* machine,
                             QxPortObjects* objects);

/* Deletes every link, device and key recorded in `objects`. */
void QxRemovePortObjects(QxPortObjects* objects);

#endif /* QXFW_WINDRIVER_PORT_OBJECTS_H_ */
