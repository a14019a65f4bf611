// Device access's private helpers for the checked operations of the library:
// never part of its interface.
#ifndef BBU_I2C_INTERNAL_H
#define BBU_I2C_INTERNAL_H

namespace i2c_internal {

// While a checked operation runs, its trace lines are the library's own
// record, not the caller's business: the operation reports every failure in
// its result, and its caller says what went wrong in its own words. So while
// a QuietTrace(true) lives, a trace line whose log cannot be opened (its
// folder missing, no permission) is dropped without LogTrace's "Can't open
// Log File" message; the line is lost either way. A QuietTrace(false) gives
// LogTrace its message back for a while, for the caller's own code (a
// progress callback) called from inside an operation. Each restores what it
// found when it ends, so they nest. LogTrace called anywhere else keeps its
// message on every call.
class QuietTrace {
public:
    explicit QuietTrace(bool quiet);
    ~QuietTrace();
    QuietTrace(const QuietTrace &) = delete;
    QuietTrace &operator=(const QuietTrace &) = delete;

private:
    bool was_;
};

// Whether the open descriptor is an I2C adapter that carries plain I2C
// messages, as the transfers send them: it answers I2C_FUNCS (a regular file,
// a FIFO or /dev/null do not) and names I2C_FUNC_I2C among its functions (an
// SMBus-only adapter does not). Asked before anything is sent, as i2c-tools
// asks.
bool takes_i2c_messages(int fd);

}  // namespace i2c_internal

#endif  // BBU_I2C_INTERNAL_H
