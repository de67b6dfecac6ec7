// The encoder as a body source of the file-serving side: a transfer of a converted file
// reads the encoder's ring through this, and releasing the source stops the encoder.
#pragma once

#include <memory>
#include <string>

#include "delivery/rp_source.h"

// Registers the encoder as the transfers' opener of converted files: a session on the
// file, null when it does not start. Call once at start-up.
void EncoderSource_Register();
