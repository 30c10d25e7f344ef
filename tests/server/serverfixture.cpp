#include "serverfixture.h"

#include "server.h"
#include "store/sqlitestore.h"

#include <asio/post.hpp>

#include <functional>
#include <future>

namespace {

// The real store, but asking for the friends list of "boom" throws an error
// the server does not expect from a store.
class CFaultyStore final : public CSqliteStore
{
public:
    using CSqliteStore::CSqliteStore;

    std::vector<std::string> Friends(const std::string& owner) override
    {
        if (owner == "boom")
            throw std::runtime_error("injected fault");
        return CSqliteStore::Friends(owner);
    }
};

} // namespace

CInProcessServer::CInProcessServer(const std::string& dbPath, CPasswordHasher::Cost cost,
                                   const CServerLimits& limits, bool faultyStore)
{
    if (faultyStore)
        m_store = std::make_unique<CFaultyStore>(dbPath);
    else
        m_store = std::make_unique<CSqliteStore>(dbPath);
    m_server = std::make_unique<CServer>(m_io, *m_store, cost, limits);
    m_port = m_server->Listen("127.0.0.1", 0).port();
    m_thread = std::thread([this] { m_io.run(); });
}

CInProcessServer::~CInProcessServer()
{
    Stop();
    m_server.reset();
    m_store.reset();
}

void CInProcessServer::Stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    asio::post(m_io, [this] { m_server->Shutdown([this] { m_io.stop(); }); });
    m_thread.join();
}

void ServerTest::SetUp()
{
    m_dir = std::make_unique<CTempDir>();
    m_server = std::make_unique<CInProcessServer>((m_dir->Path() / "test.db").string());
}

void ServerTest::TearDown()
{
    m_server.reset();
    m_dir.reset();
}

void ServerTest::Restart(const CServerLimits& limits, bool faultyStore)
{
    m_server.reset();
    m_server = std::make_unique<CInProcessServer>((m_dir->Path() / "test.db").string(),
                                                  CPasswordHasher::Cost::Minimum, limits, faultyStore);
}

std::unique_ptr<CTestClient> ServerTest::Connect(const std::string& from)
{
    return std::make_unique<CTestClient>(m_server->Port(), false, from);
}

std::unique_ptr<CTestClient> ServerTest::Online(const std::string& name, const std::string& password)
{
    auto client = Connect();
    client->Register(name, password);
    client->Login(name, password);
    return client;
}
