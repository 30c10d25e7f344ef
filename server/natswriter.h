#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

typedef struct __natsConnection natsConnection;
typedef struct __natsSubscription natsSubscription;
typedef struct __natsMsg natsMsg;

// Everything a node writes to NATS after it joined, written by a thread of
// its own in the order it was queued.
//
// The client library writes on the calling thread, holding the connection's
// lock, to a socket that blocks: when the NATS server stops reading (stopped,
// overloaded, or far away behind a full link), a publish waits until the
// kernel's buffers drain, and so does every other call that takes that lock,
// a subscription or a status query among them. Only this thread makes such
// calls; the loop only queues. The heartbeat goes out from here too, so that
// it keeps its pace whatever the loop is busy with.
class CNatsWriter
{
public:
    using Handler = void (*)(natsConnection*, natsSubscription*, natsMsg*, void*);

    // Subscriptions deliver to `handler` with `closure`; `heartbeat` goes to
    // `broadcast` every `interval`, the first at once.
    CNatsWriter(natsConnection* conn, Handler handler, void* closure, std::string broadcast,
                std::string heartbeat, std::chrono::milliseconds interval);
    // Stops, then destroys the subscriptions: close the connection first,
    // or they are taken back on the wire.
    ~CNatsWriter();
    CNatsWriter(const CNatsWriter&) = delete;
    CNatsWriter& operator=(const CNatsWriter&) = delete;

    // An empty `reply` publishes without one.
    void Publish(std::string subject, std::string data, std::string reply = {});
    void Subscribe(std::string subject);
    void Unsubscribe(std::string subject);
    // `data` on `subject` is the last thing written; the thread waits up to
    // a second for the NATS server to have it, and ends. No heartbeat
    // follows it.
    void Finish(std::string subject, std::string data);
    // Waits for the thread to end, finishing without a last word if nobody
    // did.
    void Stop();

private:
    enum class CKind { Publish, Subscribe, Unsubscribe };
    struct COp
    {
        CKind kind;
        std::string subject;
        std::string data;
        std::string reply;
    };

    void Queue(COp op);
    void Run();
    void Write(const COp& op);
    void Send(const std::string& subject, const std::string& data, const std::string& reply);
    // Lets go of the subscriptions that finished draining.
    void SweepDrained();

    natsConnection* m_conn;
    Handler m_handler;
    void* m_closure;
    const std::string m_broadcast;
    const std::string m_heartbeat;
    const std::chrono::milliseconds m_interval;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<COp> m_queue;
    bool m_finishing = false;
    // The thread's own: by subject; and those given up, which still take
    // what the NATS server sent them before it had their end.
    std::unordered_map<std::string, natsSubscription*> m_subs;
    std::vector<natsSubscription*> m_draining;
    std::thread m_thread;
};
