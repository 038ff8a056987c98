// The state file: what the simulated adapters keep across processes, as real
// adapters keep their firmware across runs of the tool. QXFW_STATE names it.
//
// An adapter is known in the file by the node it answers to together with
// the *SN value of its VPD record: an adapter swapped for another at the
// same node has another serial number and none of the first one's firmware,
// and two adapters whose records carry the same serial at different nodes
// are two adapters. Entries of adapters the machine doesn't have now (one
// taken out, or swapped) stay in the file for when they come back.
#ifndef QXFW_SIM_STATE_FILE_H_
#define QXFW_SIM_STATE_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/driver_core.h"
#include "sim/whole_file.h"  // WriteFileWhole, which writes the file

namespace sim {

/// One adapter's kept firmware. REQUIRES of a valid entry: download_count >= 1.
struct KeptEntry {
  std::uint32_t node = 0;
  /// The *SN value's bytes, as VpdSerial gives them.
  std::string serial;
  FirmwareRecord firmware;
};

/// The *SN value of a VPD record (laid out as BuildVpdRecord lays it out),
/// without the NULs that pad it to whole units; empty when the record holds
/// no *SN keyword.
std::string VpdSerial(const std::uint8_t (&record)[kVpdSize]);

/// Reads a state file's text into `entries` (emptied first). Empty text is
/// the state of no kept firmware. Returns an empty string on success,
/// otherwise one line that names what is wrong and where (e.g.
/// `adapters[1].lrc: must be an integer from 0 to 4294967295`).
/// Any text is acceptable input; nothing is thrown.
[[nodiscard]] std::string ParseStateFile(std::string_view text, std::vector<KeptEntry>& entries);

/// The text of a state file of `entries`, ordered by node and serial, one
/// adapter a line. ParseStateFile reads it back as it was.
/// REQUIRES: no two entries share node and serial.
std::string FormatStateFile(const std::vector<KeptEntry>& entries);

/// The state file a machine was loaded with, kept up to date with the
/// adapters' good downloads.
class StateFile {
 public:
  /// Reads the file that QXFW_STATE names. Unset: nothing persists and
  /// Update does nothing. A file that does not exist yet holds no kept
  /// firmware. Returns an empty string, or the complaint as the simulated
  /// machine reports it, e.g. `state file /tmp/s.json: adapters[0]: missing
  /// required field "node"`; the object then holds nothing.
  [[nodiscard]] std::string ReadFromEnvironment();

  /// As ReadFromEnvironment, from the file at `path`.
  [[nodiscard]] std::string Read(const std::string& path);

  /// Gives each adapter of `config` the firmware its entry holds (and none
  /// to one without an entry), and notes which entry is whose.
  /// REQUIRES: `state` is the state of `config`.
  void Apply(const MachineConfig& config, MachineState& state);

  /// Takes the adapters' firmware into their entries and, when any changed,
  /// writes the file again (WriteFileWhole). Returns an empty string, or
  /// e.g. `state file /tmp/s.json cannot be written: No space left on
  /// device`. REQUIRES: Apply was called with this `config`.
  [[nodiscard]] std::string Update(const MachineConfig& config, const MachineState& state);

  bool persists() const { return !path_.empty(); }
  const std::vector<KeptEntry>& entries() const { return entries_; }

 private:
  std::string path_;
  std::vector<KeptEntry> entries_;
  /// The entry of each adapter of the machine, -1 for one that has none yet.
  std::vector<int> entry_of_adapter_;
};

}  // namespace sim

#endif  // QXFW_SIM_STATE_FILE_H_
