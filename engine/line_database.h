#pragma once
// The line database as the engine sees it: where a db: counter's numbers
// come from and where run records go when several stations share a server.
// The front end opens it once per process and hands it to every session
// (every gang board) that uses it; the implementation serialises its calls.

#include <string>

#include "serial_counter.h"
#include "serial_settings.h"

namespace talvex {

// What became of one run record.
struct RecordDelivery {
    bool stored = false;  // in the database
    bool spooled = false; // kept in the local spool file for later delivery
    // For the operator when not stored: the server, its reason, and where
    // the record was kept (or why it could not be kept).
    std::string message;
};

class ILineDatabase {
public:
    virtual ~ILineDatabase() = default;

    // Takes the next number of the counter serial.counterDb for the board on
    // port, in one transaction. Unreachable when the server cannot be asked,
    // with a message that names it and gives its reason.
    virtual CounterResult TakeSerial(const SerialSettings& serial, const std::string& port) = 0;
    // The counter's next number, without taking it.
    virtual CounterResult PeekSerial(const SerialSettings& serial) = 0;
    // Stores one run record (a JSON line as FormatRunRecord writes it, with
    // its run id); when the server is away the line goes to the spool.
    virtual RecordDelivery StoreRecord(const std::string& line) = 0;
};

} // namespace talvex
