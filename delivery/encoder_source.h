// The encoder as a body source of the file-serving side: a transfer of a converted file
// reads the encoder's ring through this, and releasing the source stops the encoder.
#pragma once

#include <memory>
#include <string>

#include "delivery/rp_source.h"

// Starts an encoder session on `path` (a file of type `mime`); null when it does not
// start.
std::unique_ptr<RpSource> EncoderSource_Open(const std::string& path, const std::string& mime);

// Registers EncoderSource_Open as the transfers' encoder opener. Call once at start-up.
void EncoderSource_Register();
