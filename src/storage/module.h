// Loading driver modules into the running kernel. The only caller of
// init_module; every driver-owning area goes through it.
#pragma once

namespace qm {

// Loads the module file at path with the parameter string args (null means
// ""). Returns 1 when the kernel accepted it, 0 on any failure (reported).
[[nodiscard]] int install_module(const char* path, const char* args);

// The module name the kernel knows path by: the part after the last "/",
// cut at the first ".ko". Lives in one static buffer until the next call.
[[nodiscard]] const char* modname(const char* path);

}  // namespace qm
