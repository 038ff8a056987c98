#include "transport/observed_machine.h"

#include <utility>

namespace {

std::array<ObservedPort, kPortCount> observed_ports;
bool observing_requests = false;
std::vector<ObservedRequest> observed_requests;

}  // namespace

const std::array<ObservedPort, kPortCount>& ObservedPorts() { return observed_ports; }

void StartObservingRequests() {
  observed_requests.clear();
  observing_requests = true;
}

const std::vector<ObservedRequest>& ObservedRequests() { return observed_requests; }

ObservedPort& MutableObservedPort(int port) { return observed_ports[port]; }

void ResetObservedPorts() { observed_ports.fill(ObservedPort{}); }

bool ObservingRequests() { return observing_requests; }

void KeepObservedRequest(ObservedRequest request) {
  observed_requests.push_back(std::move(request));
}
