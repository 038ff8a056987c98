// The name rule of firmware files: name.Lxx, where xx is the LL field that
// an adapter's vital product data must carry to be sent the image.
#ifndef QXFW_IMAGE_FIRMWARE_NAME_H_
#define QXFW_IMAGE_FIRMWARE_NAME_H_

/// The two LL characters of a firmware name (after its last '.', an 'L' or
/// 'l' and two hexadecimal digits that end the name), or null. The last '.'
/// is searched in the whole path, directory part included.
/// REQUIRES: path is a NUL-terminated text.
const char* FindFirmwareLL(const char* path);

#endif  // QXFW_IMAGE_FIRMWARE_NAME_H_
