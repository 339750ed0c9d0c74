// Launchers of the linear kernels (torch-free).
#include "kernels/launch.hpp"
