#pragma once

// The library's per-thread registration flag and its detach clean-up, driven
// by DllMain.
namespace ThreadRegistration {

bool processAttach();
void processDetach();
void threadDetach();

bool isRegistered();
void setRegistered(bool registered);

} // namespace ThreadRegistration
