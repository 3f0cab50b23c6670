// Every interleaving of what can happen around a pause, breadth-first to a depth: the service's real
// session machine and the saver's real connection rules, in a model of everything around them (the pipe
// with its messages in flight and its disconnects, a second client that never asks, the clock, the
// display, sleep, session changes, recovery requests, the block and the release succeeding, failing or
// taking their time, the saver's process, a crash or a stop of the service). States are hashed; at each
// one the product's promises are checked, and a broken one fails with the events that led there.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "protocol/pipe_protocol.h"
#include "saver/connection_rules.h"
#include "service/session_machine.h"

namespace calmlane {
namespace {

constexpr std::uint64_t SaverStepMs = 600;  // the saver's pipe step: every fourth tick of 150 ms
constexpr std::uint64_t NewBlockMs = 2000;  // an unattended machine is cut again this soon after a release
constexpr int Saver = 0, Knocker = 1;       // the clients: the saver, and one admitted that never asks

// Words in flight, a digit each, their index here.
constexpr std::string_view Words[] = {pipe::Start, pipe::Alive, pipe::Stop, pipe::Ok, pipe::Error};
char code(std::string_view word) { return static_cast<char>('0' + (std::find(Words, std::end(Words), word) - Words)); }
std::string word(char code) { return std::string(Words[code - '0']); }

// One client's connection, from its open until the service has let it go and the client has seen so.
struct Link {
    std::string toService, toClient;  // words in flight, in order
    bool closed = false;              // the client closed its end
    bool dropped = false;             // the service disconnected it: unread words are gone
    bool admitted = false, asked = false;
    std::uint64_t since = 0;  // admitted at
};

struct World {
    std::uint64_t now = 100000;
    std::uint32_t display = DisplayUnknown;
    bool asleep = false, control = false, unserved = false;  // unserved: a request the machine took
    std::optional<std::uint32_t> request;                    // recorded by the handler for the next pass
    bool cut = false, facilityFails = false, automatic = false;  // automatic: what the machine releases for
    enum class Block { None, Running, Done } block = Block::None;
    bool blockResult = false, blockForEndedClient = false;
    std::array<std::optional<Link>, 2> links;
    int current = -1;  // the link the machine holds
    bool listening = false, sessionActive = true, saverRunning = false, userBack = false, knockerAlive = false;
    int savers = 0, knocks = 0, crashes = 0;
    unsigned long service = 1;  // the service's process id, 0 once stopped: a restart gives another
    ConnectionRules rules{0};
    std::uint64_t nextStep = 0;
    std::optional<std::uint64_t> exposedSince, autoReleasedAt;  // for the promises
    std::string violation;

    bool alive(int client) const { return client == Saver ? saverRunning : knockerAlive; }
    bool dark() const { return display == DisplayOff || display == DisplayDimmed; }
    void fail(const std::string& promise) {
        if (violation.empty()) violation = promise;
    }
};

// The machine's view of the world.
class ModelPort final : public SessionPort {
public:
    explicit ModelPort(World& world) : w_(world) {}
    void log(const std::wstring& line) override {
        const bool recovery = line.starts_with(L"Recovery requested");
        if (recovery && !std::exchange(w_.unserved, false)) w_.fail("3: a recovery that nobody asked for");
        // Automatic releases: the display came on, sleep, a stalled heartbeat.
        static const std::wstring automatic[] = {L"Recovery requested; reason code: 65536",
                                                 L"Recovery requested; reason code: 131076",
                                                 L"Recovery requested; reason code: 131090",
                                                 L"Restoring network: Heartbeat expired"};
        if (recovery || line.starts_with(L"Restoring network")) w_.automatic = std::ranges::count(automatic, line);
    }
    bool pollAndAdmit() override {
        w_.listening = true;
        for (int i : {Saver, Knocker}) {
            std::optional<Link>& link = w_.links[i];
            if (!link || link->admitted || link->dropped) continue;
            // Refused: it came and went, or its session is not active.
            link->dropped = (link->closed && link->toService.empty()) || (i == Saver && !w_.sessionActive);
            if (link->dropped) continue;
            link->admitted = true;
            link->since = w_.now;
            w_.current = i;
            w_.listening = false;
            for (std::optional<Link>& other : w_.links) {
                if (other && !other->admitted) other->dropped = true;  // the admitted client holds the pipe
            }
            return true;
        }
        return false;
    }
    PipeRead readPipe() override {
        Link& link = *w_.links[w_.current];
        if (link.toService.empty()) return link.closed ? PipeRead{PipeRead::Kind::Error, "", 109} : PipeRead{};
        const PipeRead read{PipeRead::Kind::Message, word(link.toService[0]), 0};
        link.toService.erase(0, 1);
        return read;
    }
    bool clientProcessEnded() override { return !w_.alive(w_.current); }
    void beginBlock() override {
        w_.block = World::Block::Running;
        w_.blockForEndedClient = !w_.alive(w_.current);
        w_.autoReleasedAt.reset();
    }
    std::optional<bool> blockOutcome(bool wait) override {
        if (wait && w_.block == World::Block::Running) complete(true);
        if (w_.block != World::Block::Done) return std::nullopt;
        return (w_.block = World::Block::None, w_.blockResult);
    }
    void complete(bool success) {
        w_.block = World::Block::Done;
        w_.blockResult = success;
        w_.cut = w_.cut || success;
    }
    void reply(std::string_view text) override { w_.links[w_.current]->toClient += code(text); }
    bool restore() override {
        if (w_.cut && w_.facilityFails) return false;
        if (w_.cut && w_.automatic) w_.autoReleasedAt = w_.now;
        w_.cut = false;
        return true;
    }
    bool somethingLeftBlocked() override { return w_.cut; }
    void closeClientProcess() override {}
    void disconnectPipe() override {
        Link& link = *w_.links[w_.current];
        if (w_.current == Saver && w_.saverRunning && !link.toClient.empty()) {
            w_.fail("4: a reply was thrown away before the running saver could read it");
        }
        link = Link{{}, {}, link.closed, true};
        w_.current = -1;
    }
    // Whether the pipe has news for a machine that waits on it.
    bool pipeNews() const {
        if (w_.current >= 0) return !w_.links[w_.current]->toService.empty() || w_.links[w_.current]->closed;
        if (!w_.listening) return true;  // an instance to listen on
        const auto waiting = [](const std::optional<Link>& l) { return l && !l->admitted && !l->dropped; };
        return std::any_of(w_.links.begin(), w_.links.end(), waiting);
    }

private:
    World& w_;
};

struct State {
    World world;
    ModelPort port{world};
    std::optional<SessionMachine> service{std::in_place, port};  // a new one after a crash
    SessionMachine& machine = *service;

    State() { machine.startUp(world.now); }
    State(const State& other) : world(other.world), service(std::in_place, *other.service, port) {}
    State& operator=(const State&) = delete;

    // What the service's loop does after an event: passes while anything it waits for has happened.
    void settle() {
        for (int passes = 0; world.service != 0; ++passes) {
            const Wake wake = machine.wake(world.now);
            const bool clientEnded = world.current >= 0 && !world.alive(world.current);
            if (!world.control && wake.at > world.now && !(wake.pipe && port.pipeNews()) &&
                !(wake.client && clientEnded) && !(wake.block && world.block == World::Block::Done)) {
                return;
            }
            if (passes == 100) return world.fail("2: the loop never comes to rest");
            const std::optional<std::uint32_t> request = std::exchange(world.request, std::nullopt);
            world.unserved = world.unserved || request;
            world.control = false;
            machine.pass(world.now, world.display, request.has_value(), request.value_or(0));
            checkDeadlines();
        }
    }

    // 2. No deadline is lost: after every pass, a machine that is not at rest has a deadline or awaits
    // something that will come.
    void checkDeadlines() {
        const World& w = world;
        const Wake wake = machine.wake(w.now);
        const bool atRest = (!w.cut && w.block == World::Block::None && machine.phase() == Phase::Idle && w.current < 0) ||
                            (machine.phase() == Phase::Holding && (w.dark() || w.request));
        // A client may fall silent without ending: only a deadline or a running block surely comes.
        const bool awaited = wake.at != Wake::Never || (wake.block && w.block != World::Block::None);
        if (!atRest && !awaited) world.fail("2: nothing will move the machine");
    }

    // The saver's pipe step: read a reply and write "ALIVE" on an open connection; without one (or once it
    // is lost), open the pipe when the rules say so.
    void saverStep() {
        std::optional<Link>& link = world.links[Saver];
        const unsigned long refused = world.rules.refusedBy();
        std::string reply;
        if (link && !link->dropped) {
            if (!link->toClient.empty()) {
                reply = word(link->toClient[0]);
                link->toClient.erase(0, 1);
                world.rules.replied(reply);
            }
            link->toService += code(pipe::Alive);
        } else if (link) {
            world.rules.lost();
            link.reset();
        }
        if (!link && world.rules.attemptDue(world.now)) {
            world.rules.attempting(world.now);
            if (world.rules.asks(world.service) && world.listening && world.current < 0) {
                link = Link{{code(pipe::Start)}, {}, false, false, false, true};
                world.rules.connected(world.service);
            }
        }
        world.nextStep = world.now + SaverStepMs;
        // 4. A refusal is a refusal: only "ERROR" read, never "OK" or a loss.
        if (world.rules.refusedBy() != refused && reply != pipe::Error) world.fail("4: a refusal from " + reply);
    }

    void control(std::optional<std::uint32_t> request) {
        if (request) world.request = request;
        world.control = true;
    }

    void endService(bool restart) {
        for (auto& link : world.links) {
            if (link) link->dropped = true;
        }
        world.current = -1;
        world.listening = world.unserved = world.automatic = false;
        world.request.reset();
        if (!restart) {
            machine.stop();
            world.service = 0;
            if ((world.cut && !world.facilityFails) || world.block != World::Block::None) world.fail("1: cut, stopped");
            return;
        }
        // A block cut short leaves disabled adapters in the journal, for the next start to give back.
        world.cut = world.cut || world.block != World::Block::None;
        world.block = World::Block::None;
        world.service += 1, world.crashes += 1;
        service.emplace(port);
        machine.startUp(world.now);
        checkDeadlines();
    }

    // The earliest tick at which something is due by itself: the machine's deadline or the saver's step.
    std::uint64_t nextDue() const {
        const std::uint64_t due = world.service != 0 ? machine.wake(world.now).at : Wake::Never;
        return world.saverRunning ? std::min(due, world.nextStep) : due;
    }

    void checkPromises() {
        World& w = world;
        // 1. Nothing is left cut: with no saver and the display on, released within the grace, or retried.
        const bool cutting = w.cut || (w.block != World::Block::None && w.blockForEndedClient);
        const bool exposed = cutting && !w.saverRunning && !w.asleep && !w.dark() && machine.phase() != Phase::Cleaning;
        if (!exposed) w.exposedSince.reset();
        if (exposed && !w.exposedSince) w.exposedSince = w.now;
        if (exposed && w.now > *w.exposedSince + DisplayGraceMs) w.fail("1: the network stays cut with nobody there");
        if (w.service != 0) checkDeadlines();
        // 3. An unattended machine stays cut: an automatic release is followed by a new block.
        if (!w.saverRunning || w.userBack || !w.sessionActive || w.service == 0) w.autoReleasedAt.reset();
        if (w.autoReleasedAt && w.now > *w.autoReleasedAt + NewBlockMs) w.fail("3: released unattended, not cut again");
        // 5. Nobody holds the pipe without asking.
        if (w.current >= 0 && !w.links[w.current]->asked && w.now > w.links[w.current]->since + StartTimeoutMs) {
            w.fail("5: a client holds the pipe unasked");
        }
    }

    // Everything that decides what happens from now on, times relative to now and cut where no rule tells
    // longer ones apart: two states with the same key act alike.
    std::string key() const {
        const World& w = world;
        const SessionState& m = machine.state();
        const ConnectionRules::State& r = w.rules.state();
        std::string text;
        const auto add = [&text](std::uint64_t v) { text.append(reinterpret_cast<const char*>(&v), sizeof(v)); };
        const auto since = [&](std::uint64_t tick, std::uint64_t limit) { add(std::min(w.now - tick, limit)); };
        const auto until = [&](std::uint64_t tick) { add(tick > w.now ? tick - w.now : 0); };
        using U = std::uint64_t;
        for (const U value : {U(m.phase), U(m.blocked), U(m.readStopped), U(m.deferredRecovery.value_or(1)),
                              U(m.deferredRecovery.has_value()), m.retry.delay(), U(m.lastLoggedDisplay),
                              U(m.replyAt.has_value()), U(m.partingUntil.has_value()), U(w.display), U(w.block),
                              U(w.request.value_or(1)), U(w.current), U(w.service),
                              U(w.savers * 100 + w.knocks * 10 + w.crashes), U(r.service), U(r.refusedBy)}) {
            add(value);
        }
        for (const PipeRead& read : m.queued) text += read.text + char('0' + static_cast<int>(read.kind));
        text += std::string(m.releaseReason.begin(), m.releaseReason.end()) + '|';
        for (const auto& [tick, limit] : {std::pair(m.admittedAt, StartTimeoutMs), {m.lastMessage, HeartbeatTimeoutMs + 1},
                                          {m.endTime, DisplayGraceMs}, {m.replyAt.value_or(w.now), ReplyReadMs},
                                          {r.start, ConnectWindowMs + 1}, {r.lastAttempt, ReconnectMs},
                                          {w.exposedSince.value_or(w.now), DisplayGraceMs + 1},
                                          {w.autoReleasedAt.value_or(w.now), NewBlockMs + 1}}) {
            since(tick, limit);
        }
        for (const std::uint64_t tick : {m.partingUntil.value_or(0), m.nextRestoreTry, w.nextStep}) until(tick);
        for (const bool flag : {w.asleep, w.control, w.unserved, w.request.has_value(), w.cut, w.facilityFails,
                                w.automatic, w.blockResult, w.blockForEndedClient, w.listening, w.sessionActive,
                                w.saverRunning, w.userBack, w.knockerAlive, r.confirmed, w.exposedSince.has_value(),
                                w.autoReleasedAt.has_value()}) {
            text += flag ? '1' : '0';
        }
        for (const auto& link : w.links) {
            text += link ? "|" + link->toService + "|" + link->toClient + char('0' + link->closed + 2 * link->dropped +
                                                                                 4 * link->admitted + 8 * link->asked)
                         : "-";
            if (link) since(link->since, StartTimeoutMs + 1);
        }
        return text;
    }
};

struct Event {
    const char* name;
    std::function<bool(State&)> apply;  // false: not possible in this state
};

std::vector<Event> events() {
    using B = World::Block;
    // Events of a machine that is awake with its service running.
    const auto live = [](auto body) {
        return [body](State& s) { return !s.world.asleep && s.world.service != 0 && body(s, s.world); };
    };
    const auto endSaver = [](World& w, bool stop) {
        if (auto& link = w.links[Saver]) {
            if (stop && !link->dropped) link->toService += code(pipe::Stop);
            link->closed = true;
        }
        w.saverRunning = false;
        return true;
    };
    std::vector<Event> list = {
        {"time: the next deadline or saver step", live([](State& s, World& w) {
             const std::uint64_t due = s.nextDue();
             if (due == Wake::Never || due < w.now) return false;
             w.now = due;
             if (w.saverRunning && w.nextStep == due) s.saverStep();
             return true;
         })},
        {"time: a while, short of the next", live([](State& s, World& w) {
             const std::uint64_t due = s.nextDue();
             if (due != Wake::Never && due <= w.now + 1) return false;
             w.now = due == Wake::Never ? w.now + 500 : std::min(due - 1, w.now + 500);
             return true;
         })},
        {"the saver's step, and its process ends before the service reads it", live([endSaver](State& s, World& w) {
             if (!w.saverRunning || w.nextStep > s.nextDue()) return false;
             w.now = w.nextStep;
             s.saverStep();
             return endSaver(w, false);
         })},
        {"a saver starts", live([](State&, World& w) {
             if (w.saverRunning || w.savers == 2 || (w.links[Saver] && !w.links[Saver]->dropped)) return false;
             w.saverRunning = true, w.userBack = false, w.savers += 1;
             w.rules = ConnectionRules(w.now);
             w.links[Saver].reset();
             w.nextStep = w.now + 150;  // its first step, on its first tick
             return true;
         })},
        {"the user comes back: STOP, and the saver ends",
         live([endSaver](State&, World& w) { return w.saverRunning && (w.userBack = true) && endSaver(w, true); })},
        {"the saver's process ends",
         live([endSaver](State&, World& w) { return w.saverRunning && endSaver(w, false); })},
        {"a knocker admitted as the saver connects", live([](State&, World& w) {
             if (w.knocks == 1 || !w.listening || w.current >= 0) return false;
             w.links[Knocker] = Link{};
             w.knockerAlive = true, w.knocks += 1;
             w.autoReleasedAt.reset();  // someone at the machine holds the pipe: not unattended
             return true;
         })},
        {"the knocker ends", live([](State&, World& w) {
             if (w.links[Knocker]) w.links[Knocker]->closed = true;
             return std::exchange(w.knockerAlive, false);
         })},
        {"the network facility starts or stops failing",
         live([](State&, World& w) { return (w.facilityFails = !w.facilityFails, true); })},
        {"suspend", live([](State& s, World& w) {
             s.control(0x20004);
             s.settle();
             return w.asleep = true;
         })},
        {"automatic resume", [](State& s) { return std::exchange(s.world.asleep, false) && (s.control(0x20012), true); }},
        {"control 128", live([](State& s, World&) { return (s.control(128), true); })},
        {"the saver's session disconnects",
         live([](State& s, World& w) { return std::exchange(w.sessionActive, false) && (s.control(0x30002), true); })},
        {"another session changes", live([](State& s, World&) { return (s.control(std::nullopt), true); })},
        {"the service crashes and restarts",
         live([](State& s, World& w) { return w.crashes == 0 && (s.endService(true), true); })},
        {"the service stops", live([](State& s, World&) { return (s.endService(false), true); })},
    };
    for (const bool success : {true, false}) {
        list.push_back({success ? "the block succeeds" : "the block fails", live([success](State& s, World& w) {
                            return w.block == B::Running && (s.port.complete(success), true);
                        })});
    }
    for (const std::uint32_t display : {DisplayOn, DisplayOff, DisplayDimmed}) {
        static const char* const names[] = {"the display goes off", "the display comes on", "the display dims"};
        list.push_back({names[display], live([display](State& s, World& w) {
                            if (w.display == display) return false;
                            const bool dark = w.dark();
                            w.display = display;
                            const bool back = display == DisplayOn && dark;
                            s.control(back ? std::optional<std::uint32_t>(0x10000) : std::nullopt);
                            return true;
                        })});
    }
    return list;
}

// Depth 11 (CALMLANE_EXPLORE_DEPTH sets another): a saver's pause, its automatic release and its second
// block take eight events (start, connection, the block's return, the display dims and comes on, the
// reply read, the loss and the new connection); three more put a crash, a failure, a knocker or time
// anywhere in between. Each level multiplies the states by about 2.6: depth 12 passes too, but takes over
// a minute and 7 GB.
TEST(SessionExplorer, NoInterleavingBreaksAPromise) {
    const char* asked = std::getenv("CALMLANE_EXPLORE_DEPTH");
    const int depth = asked ? std::atoi(asked) : 11;
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Event> all = events();
    std::vector<std::pair<int, int>> trace = {{-1, -1}};  // per state: the state it came from, the event
    std::unordered_set<std::size_t> seen;
    seen.reserve(1 << 23);
    std::vector<std::pair<State, int>> level;
    level.emplace_back(State(), 0);
    seen.insert(std::hash<std::string>()(level.back().first.key()));
    for (int d = 0; d < depth && !level.empty(); ++d) {
        std::vector<std::pair<State, int>> next;
        for (const auto& [state, node] : level) {
            for (std::size_t e = 0; e < all.size(); ++e) {
                State child(state);
                if (!all[e].apply(child)) continue;
                child.settle();
                child.checkPromises();
                if (!child.world.violation.empty()) {
                    std::string path = all[e].name;
                    for (int n = node; n > 0; n = trace[n].first) {
                        path = std::string(all[trace[n].second].name) + "\n" + path;
                    }
                    FAIL() << "promise " << child.world.violation << ", after:\n" << path;
                }
                if (!seen.insert(std::hash<std::string>()(child.key())).second) continue;
                trace.emplace_back(node, static_cast<int>(e));
                next.emplace_back(std::move(child), static_cast<int>(trace.size()) - 1);
            }
        }
        level = std::move(next);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("explorer: %zu states to depth %d in %.1f s\n", trace.size(), depth, seconds);
}

}  // namespace
}  // namespace calmlane
