#include "vornebased/vorne_exception.hpp"

namespace VorneBased {

// Each thread gets its record on first use; it goes with the thread.
IVorneException* GetVorneException() {
    thread_local CBaseException last_error;
    return &last_error;
}

}  // namespace VorneBased
