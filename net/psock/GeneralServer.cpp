// TNMGeneralServer and its client threads.
#include "net/psock/GeneralServer.h"

#include <chrono>
#include <mutex>

namespace Psock {

using namespace winsock;

vcl::TCriticalSection ServerLock;

TNMGeneralServer::TNMGeneralServer(TComponent* AOwner) : TPowersock(AOwner) {
    // Owned by a server: a client instance. Anything else (or nothing) owns a master server.
    if (!dynamic_cast<TNMGeneralServer*>(AOwner)) FClientList = std::make_shared<vcl::TThreadList>();
}

TNMGeneralServer::~TNMGeneralServer() {
    if (!FClientList) return;
    try {
        Abort();
    } catch (...) {
    }
    // Each cancelled client ends its Serve; its thread then has this thread destroy it (a queued call).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FClientWaitLimit);
    while (OwnsClients() && std::chrono::steady_clock::now() < deadline) vcl::CheckSynchronize(5);
    // Clients that outlast the wait are let go: each frees itself when its Serve returns.
    for (int i = ComponentCount() - 1; i >= 0; --i) {
        if (auto* client = dynamic_cast<TNMGeneralServer*>(Components(i))) {
            client->FMasterServer = nullptr;
            RemoveComponent(client);
        }
    }
    FClientList.reset();
}

bool TNMGeneralServer::OwnsClients() const {
    for (int i = 0; i < ComponentCount(); ++i)
        if (dynamic_cast<TNMGeneralServer*>(Components(i))) return true;
    return false;
}

TNMGeneralServer* TNMGeneralServer::NewInstance(TComponent* AOwner) { return new TNMGeneralServer(AOwner); }

void TNMGeneralServer::Loaded() {
    TPowersock::Loaded();
    if (ComponentState() & vcl::csDesigning) return;
    if (!FClientList) return;  // client instances are built in code, connected
    OnAcceptReady = [this](TObject* Sender) { ServerAccept(Sender); };
    Listen(false);
}

void TNMGeneralServer::Serve() {}

void TNMGeneralServer::ServerAccept(TObject*) {
    {
        std::lock_guard lock(ServerLock);
        try {
            FAsyncDone = true;  // the connection is there: Accept need not wait
            const std::uint16_t handle = Accept();
            new InstantiateServethread(this, handle);
        } catch (...) {
            // The connection is not served.
        }
    }
    if (OnClientContact) OnClientContact(this);
}

void TNMGeneralServer::Abort() {
    StatusMessage(8, "Abandonner");
    if (!FClientList) return;
    {
        std::vector<TObject*>& clients = FClientList->LockList();
        try {
            for (TObject* client : clients) static_cast<TNMGeneralServer*>(client)->Cancel();
        } catch (...) {
            FClientList->UnlockList();
            throw;
        }
        FClientList->UnlockList();
    }
    // The clients' waits idle until a message is handled; a cancel brings none, so wake them.
    win32::WakeDeliveryWaiters();
}

InstantiateServethread::InstantiateServethread(TNMGeneralServer* Server, std::uint16_t Socket)
    : vcl::TThread(true), FClientList(Server->FClientList) {
    TNMGeneralServer* client = nullptr;
    try {
        client = Server->NewInstance(Server);
        client->FConnected = true;
        client->FRemoteAddress = Server->FRemoteAddress;
        client->FServeThread = this;
        client->OnConnect = Server->OnConnect;
        client->OnDisconnect = Server->OnDisconnect;
        closesocket(client->FSocket);
        client->FSocket = Socket;
        FServedClient = client;
        FClientList->Add(client);
        WSAAsyncSelect(Socket, client->FSockWindow, WM_SOCKETEVENT, kSocketEvents);
        client->FMasterServer = Server;
    } catch (...) {
        // Without a client the thread has nothing to serve; the connection is dropped.
        if (!FServedClient) closesocket(Socket);
    }
    try {
        Start();
    } catch (...) {
        // No thread: undo the client here, on the thread that owns its window.
        if (FServedClient) {
            FClientList->Remove(FServedClient);
            delete FServedClient;
            FServedClient = nullptr;
        }
        throw;
    }
}

void InstantiateServethread::Execute() {
    FreeOnTerminate = true;
    if (!FServedClient) return;
    try {
        FServedClient->Serve();
    } catch (...) {
        // A failing conversation ends like any other.
    }
}

InstantiateServethread::~InstantiateServethread() {
    TNMGeneralServer* client = FServedClient;
    if (!client) return;
    {
        std::lock_guard lock(ServerLock);
        FClientList->Remove(client);
    }
    FServedClient = nullptr;
    // The client's hidden windows belong to the user-interface thread: it is destroyed there, without this
    // thread waiting for it (that thread may be waiting for ServerLock in an accept).
    try {
        vcl::TThread::Queue([client] { delete client; });
    } catch (...) {
    }
}

}  // namespace Psock
