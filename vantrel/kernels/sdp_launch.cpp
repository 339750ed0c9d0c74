// Launchers of the sdp kernels (torch-free).
#include "kernels/launch.hpp"
