// TNMGeneralServer: a socket component that listens on its Port and serves every incoming connection on a
// thread of its own, through a client instance of its own class whose Serve holds the conversation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "net/psock/Powersock.h"
#include "platform/vcl/Threads.h"

namespace Psock {

class InstantiateServethread;

// Taken around the accept step and around the removal of a finished client, by every server.
extern vcl::TCriticalSection ServerLock;

// Two roles of one class. A master server (owner not a server) has the client list, listens and accepts.
// A client instance (owned by its master) holds one accepted connection: its window and timer belong to the
// user-interface thread, where its notifications set its flags, while its Serve runs on its own thread.
class TNMGeneralServer : public TPowersock {
  public:
    explicit TNMGeneralServer(TComponent* AOwner);
    ~TNMGeneralServer() override;

    // A master server starts listening once its properties are loaded.
    void Loaded() override;
    // A server never connects.
    void Connect() override {}
    // Cancels every client; the server itself goes on listening.
    void Abort() override;
    // The conversation with one client, on the client's thread; the base class does nothing.
    virtual void Serve();

    // The accept hook: accepts the waiting connection and starts a client for it.
    void ServerAccept(TObject* Sender);

    // Raised on the user-interface thread after each incoming connection has been handled.
    vcl::TNotifyEvent OnClientContact;

    bool IsMasterServer() const { return FClientList != nullptr; }
    // In a client instance: the server that accepted it (nil once that server is gone).
    TNMGeneralServer* MasterServer() const { return FMasterServer; }
    InstantiateServethread* ServeThread() const { return FServeThread; }
    // Live client instances of a master server.
    int ClientCount() const { return FClientList ? FClientList->Count() : 0; }
    // How long destroying a master server waits for its cancelled clients to end (ms). A client still
    // serving after that no longer belongs to the server and frees itself when its Serve returns.
    unsigned ClientWaitLimit() const { return FClientWaitLimit; }
    void SetClientWaitLimit(unsigned Value) { FClientWaitLimit = Value; }

  protected:
    // A new object of this server's own class, owned by AOwner. A descendant replaces it, most simply by
    // deriving through TServerClass below.
    virtual TNMGeneralServer* NewInstance(TComponent* AOwner);

    // Shared with the client threads, so that a thread that outlives its master never touches a freed list.
    std::shared_ptr<vcl::TThreadList> FClientList;
    std::atomic<TNMGeneralServer*> FMasterServer = nullptr;
    InstantiateServethread* FServeThread = nullptr;

  private:
    friend class InstantiateServethread;
    bool OwnsClients() const;
    unsigned FClientWaitLimit = 5000;
};

// The base of a descendant server whose client instances are of the descendant's own class:
//   class TEchoServer : public TServerClass<TEchoServer> { void Serve() override; ... };
template <class TDescendant, class TBase = TNMGeneralServer>
class TServerClass : public TBase {
  public:
    using TBase::TBase;

  protected:
    TNMGeneralServer* NewInstance(TComponent* AOwner) override { return new TDescendant(AOwner); }
};

// The thread of one client: builds the client instance for an accepted connection, runs its Serve, and
// when Serve returns removes the client from its master's list and has it destroyed.
class InstantiateServethread : public vcl::TThread {
  public:
    InstantiateServethread(TNMGeneralServer* Server, std::uint16_t Socket);
    ~InstantiateServethread() override;

  protected:
    void Execute() override;

  private:
    TNMGeneralServer* FServedClient = nullptr;
    std::shared_ptr<vcl::TThreadList> FClientList;
};

}  // namespace Psock
