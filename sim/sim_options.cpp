// Command-line options and fault selectors of zarq-sim.

#include "zarq_sim.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>

namespace zarq {

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
    // strtoull accepts "0x" alone with base 16 as 0; refuse it.
    if (hex && text.size() == 2) return false;
    out = v;
    return true;
}

bool ParseDuration(const std::string& text, double& out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e9) return false;
    out = v;
    return true;
}

bool IsCommandLetter(char c) { return c == 'E' || c == 'W' || c == 'V' || c == 'P' || c == 'R'; }

bool ParseRange(const std::string& text, SelectorItem& item) {
    const auto dash = text.find('-');
    std::uint64_t from = 0, to = 0;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max() / 2;
    if (dash == std::string::npos) {
        if (!ParseUnsigned(text, max, from) || from == 0) return false;
        to = from;
    } else {
        if (!ParseUnsigned(text.substr(0, dash), max, from) || from == 0 ||
            !ParseUnsigned(text.substr(dash + 1), max, to) || to < from)
            return false;
    }
    item.from = from;
    item.to = to;
    return true;
}

} // namespace

bool FaultSelector::Matches(std::uint64_t command, char letter, std::uint64_t ofLetter) const {
    for (const SelectorItem& item : items) {
        if (item.letter != 0 && item.letter != letter) continue;
        const std::uint64_t n = item.letter != 0 ? ofLetter : command;
        if (item.from == 0 || (n >= item.from && n <= item.to)) return true;
    }
    return false;
}

bool ParseSelector(const std::string& text, FaultSelector& out, std::string& error) {
    if (text.empty()) {
        error = "empty selector";
        return false;
    }
    std::vector<SelectorItem> parsed;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const std::string part =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        SelectorItem item;
        bool ok = !part.empty();
        if (ok && part == "*") {
            // every command: letter 0, from 0
        } else if (ok && std::isalpha(static_cast<unsigned char>(part[0]))) {
            item.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(part[0])));
            if (!IsCommandLetter(item.letter)) {
                error = "'" + part + "': the command letter must be one of E, W, V, P, R";
                return false;
            }
            if (part.size() > 1) ok = part[1] == '@' && ParseRange(part.substr(2), item);
        } else if (ok) {
            ok = ParseRange(part, item);
        }
        if (!ok) {
            error = "'" + part +
                    "' is not a selector item (use *, N, N-M, L, L@N or L@N-M; "
                    "numbers count from 1)";
            return false;
        }
        parsed.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    out.items.insert(out.items.end(), parsed.begin(), parsed.end());
    return true;
}

// One table of every option with its handler: split up, it would read worse.
// NOLINTNEXTLINE(readability-function-size)
bool ParseSimArgs(const std::vector<std::string>& args, SimOptions& out, std::string& error) {
    SimOptions o;
    using Handler = std::function<bool(const std::string&, std::string&)>;
    struct OptionRule {
        bool takesValue;
        Handler handle;
    };
    auto selector = [](FaultSelector& target) {
        return
            [&target](const std::string& v, std::string& e) { return ParseSelector(v, target, e); };
    };
    auto duration = [](double& target, const char* unit) {
        return [&target, unit](const std::string& v, std::string& e) {
            if (!ParseDuration(v, target)) {
                e = "'" + v + "' is not a number of " + unit + " (0 or more)";
                return false;
            }
            return true;
        };
    };
    // SEL:MS, split at the last colon (a selector has none). Extra takes the
    // ms as "+MS" to say it adds to another answer's hold; Optional lets the
    // ms be left out for 1.
    enum class HoldForm { Required, Extra, Optional };
    auto hold = [](std::vector<HoldRule>& target, HoldForm form) {
        return [&target, form](const std::string& v, std::string& e) {
            const char* shape = form == HoldForm::Extra      ? "SELECTOR:+MS"
                                : form == HoldForm::Optional ? "SELECTOR or SELECTOR:MS"
                                                             : "SELECTOR:MS";
            HoldRule rule;
            const auto colon = v.rfind(':');
            if (colon == std::string::npos && form != HoldForm::Optional) {
                e = "'" + v + "': expected " + shape;
                return false;
            }
            if (colon == std::string::npos) {
                rule.ms = 1;
            } else {
                std::string ms = v.substr(colon + 1);
                const bool plus = !ms.empty() && ms[0] == '+';
                if (form == HoldForm::Extra && plus) ms.erase(0, 1);
                if ((form == HoldForm::Extra && !plus) || ms.empty() || ms[0] == '+' ||
                    ms[0] == '-' || !ParseDuration(ms, rule.ms)) {
                    e = "'" + v + "': expected " + shape +
                        ", MS a number of milliseconds (0 or more)";
                    return false;
                }
            }
            if (!ParseSelector(v.substr(0, colon), rule.selector, e)) return false;
            target.push_back(rule);
            return true;
        };
    };
    auto text = [](std::string& target, const char* what) {
        return [&target, what](const std::string& v, std::string& e) {
            if (v.empty()) {
                e = std::string("the ") + what + " must not be empty";
                return false;
            }
            target = v;
            return true;
        };
    };

    const std::map<std::string, OptionRule> rules = {
        {"--help",
         {false,
          [&](const std::string&, std::string&) {
              o.showHelp = true;
              return true;
          }}},
        {"-h",
         {false,
          [&](const std::string&, std::string&) {
              o.showHelp = true;
              return true;
          }}},
        {"--device", {true, text(o.device, "device path")}},
        {"--link", {true, text(o.link, "link path")}},
        {"--part",
         {true,
          [&](const std::string& v, std::string& e) {
              if (v.empty() || v.size() > 8) {
                  e = "'" + v + "': a part name has 1 to 8 characters";
                  return false;
              }
              o.part = v;
              o.partGiven = true;
              return true;
          }}},
        {"--partdb", {true, text(o.partDbPath, "part database path")}},
        {"--flash-size",
         {true,
          [&](const std::string& v, std::string& e) {
              std::uint64_t n = 0;
              if (!ParseUnsigned(v, 16u << 20, n) || n == 0) {
                  e = "'" + v + "' is not a flash size from 1 byte to 16 MiB (decimal or 0x hex)";
                  return false;
              }
              o.flashSize = static_cast<std::uint32_t>(n);
              return true;
          }}},
        {"--kernel-start",
         {true,
          [&](const std::string& v, std::string& e) {
              std::uint64_t n = 0;
              if (!ParseUnsigned(v, 0xFFFFFFFFu, n) || n <= kFlashBase) {
                  e = "'" + v + "' is not an absolute address above 0x80000";
                  return false;
              }
              o.kernelStart = static_cast<std::uint32_t>(n);
              return true;
          }}},
        {"--flash-fill",
         {true,
          [&](const std::string& v, std::string& e) {
              std::uint64_t n = 0;
              if (!ParseUnsigned(v, 0xFF, n)) {
                  e = "'" + v + "' is not a byte value from 0 to 255 (decimal or 0x hex)";
                  return false;
              }
              o.flashFill = static_cast<std::uint8_t>(n);
              return true;
          }}},
        {"--flash-init", {true, text(o.flashInit, "flash image path")}},
        {"--id",
         {true,
          [&](const std::string& v, std::string& e) {
              if (v.empty() || v.size() > 250) {
                  e = "the identification text must have 1 to 250 characters";
                  return false;
              }
              o.idText = v;
              return true;
          }}},
        {"--old-revision",
         {false,
          [&](const std::string&, std::string&) {
              o.oldRevision = true;
              return true;
          }}},
        {"--never-announce",
         {false,
          [&](const std::string&, std::string&) {
              o.neverAnnounce = true;
              return true;
          }}},
        {"--noise", {true, text(o.noise, "noise text")}},
        {"--nak", {true, selector(o.nak)}},
        {"--silent", {true, selector(o.silent)}},
        {"--garbage-ack", {true, selector(o.garbageAck)}},
        {"--ack-after",
         {true,
          [&](const std::string& v, std::string& e) {
              AckAfterRule rule;
              const auto colon = v.find(':');
              std::uint64_t k = 0;
              if (!ParseUnsigned(v.substr(0, colon), 1000000, k)) {
                  e = "'" + v + "': expected K or K:SELECTOR, K a count of refused tries";
                  return false;
              }
              rule.failures = static_cast<std::uint32_t>(k);
              if (colon == std::string::npos)
                  rule.selector.items.push_back(SelectorItem{});
              else if (!ParseSelector(v.substr(colon + 1), rule.selector, e))
                  return false;
              o.ackAfter.push_back(rule);
              return true;
          }}},
        {"--answer-delay-ms", {true, duration(o.answerDelayMs, "milliseconds")}},
        {"--jitter-ms", {true, duration(o.jitterMs, "milliseconds")}},
        {"--seed",
         {true,
          [&](const std::string& v, std::string& e) {
              std::uint64_t n = 0;
              if (!ParseUnsigned(v, std::numeric_limits<std::uint64_t>::max(), n)) {
                  e = "'" + v + "' is not a seed (a whole number, decimal or 0x hex)";
                  return false;
              }
              o.seed = n;
              return true;
          }}},
        {"--late-answer", {true, hold(o.lateAnswer, HoldForm::Required)}},
        {"--late-repeat", {true, hold(o.lateRepeat, HoldForm::Extra)}},
        {"--double-answer", {true, hold(o.doubleAnswer, HoldForm::Optional)}},
        {"--hangup-after",
         {true,
          [&](const std::string& v, std::string& e) {
              std::uint64_t n = 0;
              if (!ParseUnsigned(v, std::numeric_limits<std::uint32_t>::max(), n)) {
                  e = "'" + v + "' is not a number of frames";
                  return false;
              }
              o.hangupAfter = n;
              return true;
          }}},
        {"--baud",
         {true,
          [&](const std::string& v, std::string& e) {
              std::uint64_t n = 0;
              if (!ParseUnsigned(v, 10000000, n) || n < 50) {
                  e = "'" + v + "' is not a baud rate from 50 to 10000000";
                  return false;
              }
              o.baud = static_cast<std::uint32_t>(n);
              return true;
          }}},
        {"--erase-ms", {true, duration(o.eraseMs, "milliseconds")}},
        {"--write-us-per-byte", {true, duration(o.writeUsPerByte, "microseconds")}},
        {"--turnaround-ms", {true, duration(o.turnaroundMs, "milliseconds")}},
        {"--exit-after-run",
         {false,
          [&](const std::string&, std::string&) {
              o.exitAfterRun = true;
              return true;
          }}},
        {"--timeout",
         {true,
          [&](const std::string& v, std::string& e) {
              if (!ParseDuration(v, o.timeoutS) || o.timeoutS <= 0) {
                  e = "'" + v + "' is not a number of seconds above 0";
                  return false;
              }
              return true;
          }}},
        {"--boards",
         {true,
          [&](const std::string& v, std::string& e) {
              if (!ParseUnsigned(v, 1000000, o.boards)) {
                  e = "'" + v + "' is not a number of boards from 0 (no limit) to 1000000";
                  return false;
              }
              return true;
          }}},
        {"--board-pause-ms", {true, duration(o.boardPauseMs, "milliseconds")}},
        {"--board-idle-ms",
         {true,
          [&](const std::string& v, std::string& e) {
              if (!ParseDuration(v, o.boardIdleMs) || o.boardIdleMs <= 0) {
                  e = "'" + v + "' is not a number of milliseconds above 0";
                  return false;
              }
              return true;
          }}},
        {"--board-part",
         {true,
          [&](const std::string& v, std::string& e) {
              const auto eq = v.find('=');
              std::uint64_t n = 0;
              if (eq == std::string::npos || !ParseUnsigned(v.substr(0, eq), 1000000, n) ||
                  n == 0 || eq + 1 >= v.size() || v.size() - eq - 1 > 250) {
                  e = "'" + v + "': expected N=PART, N a board number from 1";
                  return false;
              }
              o.boardParts[n] = v.substr(eq + 1);
              return true;
          }}},
        {"--log", {true, text(o.logPath, "log file path")}},
        {"--dump", {true, text(o.dumpPath, "dump file path")}},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto it = rules.find(name);
        if (it == rules.end()) {
            error = name.rfind('-', 0) == 0 ? "unknown option " + name
                                            : "unexpected argument '" + name + "'";
            return false;
        }
        if (it->second.takesValue && !value) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!it->second.takesValue && value) {
            error = name + " takes no value";
            return false;
        }
        std::string why;
        if (!it->second.handle(value.value_or(std::string()), why)) {
            error = name + ": ";
            error += why;
            return false;
        }
    }
    if (o.kernelStart && o.flashSize &&
        static_cast<std::uint64_t>(*o.kernelStart) > std::uint64_t(kFlashBase) + *o.flashSize) {
        error = "--kernel-start lies beyond the end of flash given by --flash-size";
        return false;
    }
    if (!o.device.empty() && !o.link.empty() && o.device == o.link) {
        error = "--link must not name the device itself";
        return false;
    }
    out = std::move(o);
    return true;
}

const char* SimHelpText() {
    return R"(Usage: zarq-sim [OPTIONS]

An emulated ZaRQ target for dry runs: it answers the bootloader exchange on a
pseudo-terminal and prints the path of the serial end as its first line.
It runs until SIGINT/SIGTERM, --exit-after-run or --timeout, then writes the
dump and a summary line (frames, acks, naks, bytes written, retries, resync
blocks) on stderr.

Line:
  --link PATH            also make a symlink PATH to the serial end (so a batch
                         can say cp=PATH); removed at the end
  --device PATH          serve a real serial device instead of a pty
  --baud B               pace both directions as a line at B baud (10 bits a
                         byte): take the host's bytes no faster than the line
                         carries them; unpaced by default
  --turnaround-ms MS     delay before each answer (USB adapter latency)
  --hangup-after N       after the answer to the Nth frame, close the line as an
                         unplugged cable would (0: at the first byte received)
  --timeout S            end after S seconds
  --exit-after-run       end once a run command has been acknowledged (with
                         --boards N: that of the Nth board)

Board after board (a production fixture on one line):
  --boards N             play N boards in a row (0: no limit; default 1). A
                         board leaves when its run or reset command has been
                         acknowledged, or when no frame has come for
                         --board-idle-ms after its identification; its dump is
                         written then. The next board, its flash fresh (erased,
                         or --flash-fill/--flash-init), answers the host's
                         0x08 with its identification --board-pause-ms later
  --board-pause-ms MS    the swap: no board answers for MS ms (default 1000)
  --board-idle-ms MS     a board with no frame for MS ms after its
                         identification has been finished with (default 2000)
  --board-part N=PART    board N announces PART instead of --part (repeatable);
                         the flash keeps the geometry of --part

Target:
  --part NAME            part name (default ZaRQ4126): first 8 characters of the
                         identification, and the section of the part database
  --partdb PATH          part database (default: zelchip.ini beside zarq-sim)
  --flash-size BYTES     size of the flash from 0x80000 (overrides the database)
  --kernel-start ADDR    absolute address of the kernel (overrides the database)
  --flash-fill BYTE      the flash holds BYTE (decimal or 0x hex) in every cell
                         at the start instead of the erased 0xFF, as a board
                         that held a program before does
  --flash-init FILE      the flash holds the bytes of FILE at the start: a raw
                         image with offset 0 = 0x80000, as --dump writes it, of
                         at most the flash size; cells beyond its end hold the
                         --flash-fill byte, or 0xFF
                         With either, the host must erase a page before it
                         writes there: a write only clears bits (new = old AND
                         data), so a page written without its erase differs
                         from the image, in --dump and to a verify
  --erase-ms MS          time per erased page (a mass erase costs it once)
  --write-us-per-byte US time per byte written
  --id TEXT              the whole identification text
  --old-revision         identify as an older revision (characters 15 and 17)
  --never-announce       never send the identification
  --noise TEXT           answer the first 0x08 with TEXT, as another device on
                         the line would; the identification follows the next

Faults (repeatable; each takes a SELECTOR):
  --nak SEL              answer 0x15 after the command's time (--erase-ms,
                         --write-us-per-byte) and do not carry it out
  --silent SEL           answer nothing and do not carry the command out
  --garbage-ack SEL      carry the command out but answer 0x86
  --ack-after K[:SEL]    refuse (0x15) the first K tries, acknowledge the next;
                         every command when SEL is left out
  Precedence: silent, nak, ack-after, garbage-ack.

Answer timing (on top of --turnaround-ms and the command's own time; answers
still leave in order, never before the one before has gone out, and the
target keeps taking the host's bytes while it holds an answer back):
  --answer-delay-ms MS   hold every answer (identification too) MS longer
  --jitter-ms J          hold each answer a further 0 to J ms, drawn afresh per
                         answer (whole microseconds, uniform)
  --seed N               seed of the jitter: the same seed and the same frames
                         give the same delays (default: from the clock; the
                         seed is printed on stderr when --jitter-ms is given)
  --late-answer SEL:MS   hold the answer to the first try of the selected
                         commands MS longer
  --late-repeat SEL:+MS  hold the answer to every later try of the selected
                         commands as long as the first try's was held (delay,
                         jitter, --late-answer), plus MS: with --ack-after
                         1:W@5 --late-repeat W@5:+3 the acknowledgement comes
                         3 ms later after its frame than the refusal did
  --double-answer SEL[:MS]
                         send the answer to every try of the selected commands
                         twice, the copy MS ms (default 1) after the first has
                         gone out; a refusal is doubled as 15 15
  The first --late-answer, --late-repeat or --double-answer rule whose
  selector matches a command is the one used.

SELECTOR: items joined by commas, numbers counting from 1:
  *  every command      N  the Nth command       N-M  the Nth to Mth command
  L  every L command    L@N  the Nth L command   L@N-M
  L is one of E, W, V, P, R. A frame equal byte for byte to the command frame
  just before it is another try of the same command, not a new command, so
  "--nak W@10" refuses every try of the 10th W command and
  "--ack-after 34:E@1" refuses 34 tries of the first E command, then acks.

Record:
  --log FILE             one JSON line per frame received, per text sent and
                         per resync block received; a FIFO needs its reader
                         first, and one that takes nothing for 500 ms costs
                         the log (exit status 1), never the answers
  --dump FILE            the flash (offset 0 = 0x80000) as a binary image at the
                         end; with --boards, each board's own as it leaves: %n
                         in FILE becomes the board's number (without %n, .N is
                         appended)
  --help                 this text

Exit status: 0 after a normal end, 1 when the line or a file failed, 2 for bad
options, 3 when --timeout ended a run that waited for --exit-after-run.
)";
}

} // namespace zarq
