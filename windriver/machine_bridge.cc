#include "windriver/machine_bridge.h"

#include <new>

#include "sim/control_record.h"
#include "sim/driver_core.h"
#include "sim/machine_image.h"

static_assert(QX_PORT_COUNT == sim::kPortCount, "the C view counts the same ports");
static_assert(QX_CONTROL_HEADER_SIZE == sim::kControlHeaderSize, "one record header size");
static_assert(QX_FIRST_DEVICE_HANDLE == sim::kFirstDeviceHandle, "handles count alike");

struct QxMachine {
  sim::MachineConfig config;
  sim::StagedState state;
};

size_t QxMachineStorageSize(void) { return sizeof(QxMachine); }

uint32_t QxMaxMachineImageSize(void) { return sim::MaxMachineImageSize(); }

QxMachine* QxLoadMachine(void* storage, const uint8_t* image, uint32_t size) {
  auto* machine = new (storage) QxMachine;
  return sim::DecodeMachineImage(image, size, machine->config, machine->state.current().firmware)
             ? machine
             : nullptr;
}

int QxPortListed(const QxMachine* machine, int port) {
  return machine->config.ports[port].listed ? 1 : 0;
}

int QxPortDevicePresent(const QxMachine* machine, int port) {
  return machine->config.ports[port].device_present ? 1 : 0;
}

int QxPortDriver(const QxMachine* machine, int port, const char** name, uint32_t* length) {
  const sim::PortConfig& config = machine->config.ports[port];
  if (!config.has_driver) return 0;
  *name = config.driver;
  *length = config.driver_length;
  return 1;
}

int QxServeRequest(QxMachine* machine, int port, uint8_t* buffer, uint32_t size,
                   uint32_t* busy_ms) {
  return machine->state.ServeAside(machine->config, port, buffer, size, busy_ms) ? 1 : 0;
}

void QxKeepRequest(QxMachine* machine) { machine->state.Keep(); }

void QxEncodeControlHeader(uint32_t handle, uint32_t port, uint32_t code, uint32_t size,
                           uint32_t sent_length, uint32_t answer_length,
                           uint8_t out[QX_CONTROL_HEADER_SIZE]) {
  sim::ControlRecordHeader header;
  header.handle = handle;
  header.port = port;
  header.code = code;
  header.size = size;
  header.sent_length = sent_length;
  header.answer_length = answer_length;
  sim::EncodeControlHeader(header, out);
}
