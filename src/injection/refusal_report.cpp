#include "pointer_injection.h"

void report_refused_motion(std::ostream &out, std::uint32_t result,
                           std::uint32_t error_code)
{
    // Seven separate writes; the stream's state is not looked at, since a
    // report that cannot be written has nowhere else to go.
    out << "Error sending to input:\n";
    out << "\tReturn value: " << result << "\n";
    out << "\tError code: " << error_code << "\n";
}
