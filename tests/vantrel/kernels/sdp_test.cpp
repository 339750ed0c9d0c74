// The sdp kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>
