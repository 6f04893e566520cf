// The transaction: request completion, the judgement of an answer as seen
// by its listener, and cancellation, over a scripted transport; then the
// whole exchange against canned files through the FILE binding.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "DcdTestSupport.h"
#include "transport/DcdFileTransport.h"
#include "transport/DcdTransport.h"
#include "txn/Primitives.h"
#include "txn/Session.h"
#include "txn/Transaction.h"

namespace {

using Codes = std::vector<int>;

class RecordingListener : public TransactionListener {
 public:
  void notify(int code) override { codes.push_back(code); }
  Codes codes;
};

// Plays back one scripted answer and records what it was asked to send.
class ScriptedTransport : public DcdTransport {
 public:
  int send() override {
    ++sends;
    sentHeaders = mRequestHeaders;
    sentBody = mBody ? std::string(mBody.get(), static_cast<std::size_t>(mBodyLength)) : "<none>";
    mStatusCode = status;
    mResponseHeaders = responseHeaders;
    if (!body.empty()) {
      mResponseBody.reset(new char[body.size() + 1]);
      body.copy(mResponseBody.get(), body.size());
      mResponseBody[body.size()] = '\0';
      mResponseLength = static_cast<int32_t>(body.size());
    }
    return result;
  }
  void setHeaders(HeaderMap& headers, const txn::Request& request, const txn::Session&) override {
    headers["X-Type"] = request.getType();
  }
  bool cancel() override {
    ++cancels;
    return cancelAccepted;
  }
  void clearCancel() override { ++clears; }

  // The script.
  int result = SEND_SUCCESS;
  int status = 200;
  std::string body;
  HeaderMap responseHeaders;
  bool cancelAccepted = true;
  // What happened.
  int sends = 0;
  int cancels = 0;
  int clears = 0;
  HeaderMap sentHeaders;
  std::string sentBody;
};

std::string statusDocument(int code) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dcd version=\"0.8\">\n  <status tid=\"1\">\n    <result code=\"" +
         std::to_string(code) + "\"/>\n  </status>\n</dcd>\n";
}

std::unique_ptr<txn::ContentUpdateRequest> contentUpdateRequest(const std::string& anchor = "") {
  std::unique_ptr<txn::ContentUpdateRequest> request(new txn::ContentUpdateRequest());
  request->setTrigger(&txn::RequestTrigger::MAN);
  request->setExpected(&txn::ExpectedContent::COMPLETE);
  std::unique_ptr<txn::Application> application(new txn::Application());
  application->setId(txn::kApplicationUrn);
  application->setName(txn::kApplicationName);
  application->setSyncAnchor(anchor);
  request->setApplication(std::move(application));
  return request;
}

void describeDevice(txn::Session& session) {
  session.setAttribute(txn::kAttrPhoneModelId, "Z8");
  session.setAttribute(txn::kAttrPhoneSoftwareVersion, "KQRB_N_03XXXX");
  session.setAttribute(txn::kAttrSubscriberId, "+15550100");
}

TEST(Transaction, ListenerSeesHowEachAnswerIsJudged) {
  const std::string update = testData("content-update-response.xml");
  struct Case {
    const char* name;
    const char* fallbackCode;
    int result;
    int status;
    std::string body;
    Codes codes;
    const char* responseType;  // null: no response
  } cases[] = {
      {"content update", "", 0, 200, update, {0, 5, 4}, "ContentUpdateResponse"},
      {"status listed in the fallback code", "500 503 ", 0, 500, statusDocument(200), {0, 5}, nullptr},
      {"fallback code matches as a substring", "1404 ", 0, 404, "", {0, 5}, nullptr},
      {"404 without fallback code", "", 0, 404, "missing", {0, 5, 2}, nullptr},
      {"transport failure", "", 2, -1, "", {0, 5, 2}, nullptr},
      {"failure despite status 200", "", 2, 200, update, {0, 5, 2}, nullptr},
      {"cancelled after status 200", "", 3, 200, update, {0, 5}, nullptr},
      {"200 without body", "", 0, 200, "", {0, 5, 2}, nullptr},
      {"body that is no DCD document", "", 0, 200, "<html>hello</html>", {0, 5, 2}, nullptr},
      {"a request instead of a response", "", 0, 200,
       "<dcd version=\"0.8\"><get-request/></dcd>", {0, 5, 2}, nullptr},
      {"DCD-level error 409", "", 0, 200, statusDocument(409), {0, 5, 3}, nullptr},
      {"DCD-level error 409 listed in the fallback code", "409 ", 0, 200, statusDocument(409), {0, 5, 4}, "Status"},
      {"DCD-level error 902", "", 0, 200, statusDocument(902), {0, 5, 3}, nullptr},
      {"result 201 is no error", "", 0, 200, statusDocument(201), {0, 5, 4}, "Status"},
      {"session error outside the session variant", "", 0, 200, statusDocument(600), {0, 5, 4}, "Status"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransport transport;
    transport.result = c.result;
    transport.status = c.status;
    transport.body = c.body;
    txn::Session session;
    session.setAttribute(txn::kAttrFallbackCode, c.fallbackCode);
    std::unique_ptr<txn::ContentUpdateRequest> request = contentUpdateRequest();
    RecordingListener listener;
    txn::Transaction transaction(request.get(), &transport, &session, &listener);
    LogCapture log;

    std::unique_ptr<txn::Response> response = transaction.execute();
    EXPECT_EQ(listener.codes, c.codes);
    EXPECT_EQ(transport.sends, 1);
    if (c.responseType == nullptr) {
      EXPECT_EQ(response, nullptr);
    } else {
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->getType(), c.responseType);
      EXPECT_EQ(response->getDataSize(), static_cast<int32_t>(c.body.size()));
    }
    if (c.body == statusDocument(600)) {
      EXPECT_TRUE(log.contains("[18344]Wired! Got wrong session response"));
    }
  }
}

TEST(Transaction, CompletesTheRequestAndChoosesTheBody) {
  TempDir dir;
  txn::FileSession session(dir.file("qvsession"));
  session.writeSessionId("SID-7");
  describeDevice(session);

  ScriptedTransport transport;
  transport.body = testData("content-update-response.xml");
  std::unique_ptr<txn::ContentUpdateRequest> update = contentUpdateRequest("A-1");
  update->setDeviceType("old");
  ASSERT_NE(txn::Transaction(update.get(), &transport, &session).execute(), nullptr);
  EXPECT_EQ(*update->getTransactionId(), "0");
  EXPECT_EQ(*update->getSessionId(), "SID-7");
  EXPECT_EQ(*update->getDeviceType(), "Z8/KQRB_N_03XXXX DCD/0.8 FLP");
  EXPECT_EQ(*update->getSubscriberId(), "+15550100");
  EXPECT_EQ(transport.sentHeaders, (DcdTransport::HeaderMap{{"X-Type", "ContentUpdateRequest"}}));
  EXPECT_NE(transport.sentBody.find("<content-update-request"), std::string::npos) << transport.sentBody;
  EXPECT_NE(transport.sentBody.find("Z8/KQRB_N_03XXXX DCD/0.8 FLP"), std::string::npos);

  // An asset request has no XML form: it goes without a body, also on a
  // transport that still holds the previous one.
  txn::DataRequestByIds assets;
  assets.addId("logo.gif");
  transport.body = "--b\r\nContent-Id: logo.gif\r\nContent-Type: image/gif\r\n\r\nGIF\r\n--b--\r\n";
  transport.responseHeaders = {{"Content-Type", "multipart/mixed; boundary=b"}};
  std::unique_ptr<txn::Response> data = txn::Transaction(&assets, &transport, &session).execute();
  EXPECT_EQ(transport.sentBody, "<none>");
  EXPECT_EQ(*assets.getTransactionId(), "1");
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(data->getType(), "DataResponse");
  EXPECT_EQ(static_cast<txn::DataResponse&>(*data).getBlocks().size(), 1u);
}

TEST(Transaction, SessionErrorInTheSessionVariantDropsTheSession) {
  TempDir dir;
  txn::FileSession session(dir.file("qvsession"));
  session.writeSessionId("SID-1");
  session.setAttribute(txn::kAttrProtocolVer, txn::kSessionProtocolVersion);
  for (int code : {600, 602}) {
    SCOPED_TRACE(code);
    session.writeSessionId("SID-1");
    ScriptedTransport transport;
    transport.body = statusDocument(code);
    std::unique_ptr<txn::ContentUpdateRequest> request = contentUpdateRequest();
    RecordingListener listener;
    std::unique_ptr<txn::Response> response =
        txn::Transaction(request.get(), &transport, &session, &listener).execute();
    EXPECT_EQ(listener.codes, (Codes{0, 5, 4}));
    ASSERT_NE(response, nullptr) << "the engine reads the session error from the result";
    EXPECT_EQ(*request->getSessionId(), "SID-1");
    EXPECT_FALSE(session.isValid());
    EXPECT_EQ(readWholeFile(dir.file("qvsession")), "");
  }
}

TEST(Transaction, InvalidRequestIsNeverSent) {
  ScriptedTransport transport;
  txn::Session session;
  txn::ContentUpdateRequest noTrigger;
  noTrigger.setExpected(&txn::ExpectedContent::COMPLETE);
  RecordingListener listener;
  LogCapture log;
  EXPECT_EQ(txn::Transaction(&noTrigger, &transport, &session, &listener).execute(), nullptr);
  EXPECT_EQ(transport.sends, 0);
  EXPECT_EQ(listener.codes, (Codes{0, 5, 2}));
  EXPECT_TRUE(log.contains("Encountered an invalid request. Aborting."));
}

TEST(Transaction, CancelBeforeSendingEndsTheExchangeUnsent) {
  ScriptedTransport transport;
  txn::Session session;
  std::unique_ptr<txn::ContentUpdateRequest> request = contentUpdateRequest();
  RecordingListener listener;
  txn::Transaction transaction(request.get(), &transport, &session, &listener);
  EXPECT_FALSE(transaction.isCancelled());
  EXPECT_TRUE(transaction.cancel());
  EXPECT_TRUE(transaction.isCancelled());
  EXPECT_EQ(transport.cancels, 1);

  EXPECT_EQ(transaction.execute(), nullptr);
  EXPECT_EQ(transport.sends, 0);
  EXPECT_EQ(transport.clears, 0) << "the cancellation is not forgotten";
  EXPECT_EQ(listener.codes, (Codes{0, 5, 2}));

  // A transport that cannot cancel is reported; the transaction stays
  // marked.
  ScriptedTransport stubborn;
  stubborn.cancelAccepted = false;
  txn::Transaction other(request.get(), &stubborn, &session);
  EXPECT_FALSE(other.cancel());
  EXPECT_TRUE(other.isCancelled());

  // An uncancelled transaction clears what an earlier one left on the
  // transport before it sends.
  ScriptedTransport reused;
  reused.body = testData("content-update-response.xml");
  EXPECT_NE(txn::Transaction(request.get(), &reused, &session).execute(), nullptr);
  EXPECT_EQ(reused.clears, 1);
}

TEST(DcdTransportBase, RequestBodyIsCopiedWithStrncpyRules) {
  ScriptedTransport transport;
  transport.setRequestBody("ab\0cd", 5);
  ASSERT_EQ(transport.mBodyLength, 5);
  EXPECT_EQ(std::string(transport.mBody.get(), 5), std::string("ab\0\0\0", 5)) << "copying stops at the NUL";
  transport.setRequestBody(nullptr, 3);
  EXPECT_EQ(transport.mBody, nullptr);
  EXPECT_EQ(transport.mBodyLength, -1);
}

// The FILE binding answers from the working directory.
class FileBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(mDir.path().empty());
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    mSavedCwd = cwd;
    free(cwd);
    ASSERT_EQ(chdir(mDir.path().c_str()), 0);
    describeDevice(mSession);
  }
  void TearDown() override { EXPECT_EQ(chdir(mSavedCwd.c_str()), 0); }

  std::unique_ptr<txn::Response> run(txn::Request& request, Codes expected) {
    RecordingListener listener;
    std::unique_ptr<txn::Response> response = txn::Transaction(&request, &mTransport, &mSession, &listener).execute();
    EXPECT_EQ(listener.codes, expected);
    return response;
  }

  TempDir mDir;
  std::string mSavedCwd;
  txn::Session mSession;
  DcdFileTransport mTransport;
};

TEST_F(FileBinding, ContentUpdateIsAnsweredByTheFileOfItsSyncAnchor) {
  const std::string update = testData("content-update-response.xml");
  writeWholeFile("next.xml", update);
  writeWholeFile("default.xml", testData("status-error.xml"));
  writeWholeFile("content-update-response.xml", update);
  struct Case {
    const char* name;
    const char* anchor;
    const char* removeFirst;
    Codes codes;
    const char* responseType;
  } cases[] = {
      {"named by the anchor", "next.xml", nullptr, {0, 5, 4}, "ContentUpdateResponse"},
      {"empty anchor", "", nullptr, {0, 5, 4}, "ContentUpdateResponse"},
      {"missing file: default.xml (here a 409 status)", "next.xml", "next.xml", {0, 5, 3}, nullptr},
      {"neither file", "gone.xml", "default.xml", {0, 5, 2}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.removeFirst != nullptr) {
      ASSERT_EQ(unlink(c.removeFirst), 0);
    }
    std::unique_ptr<txn::ContentUpdateRequest> request = contentUpdateRequest(c.anchor);
    std::unique_ptr<txn::Response> response = run(*request, c.codes);
    if (c.responseType == nullptr) {
      EXPECT_EQ(response, nullptr);
    } else {
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->getType(), c.responseType);
    }
  }
}

TEST_F(FileBinding, AssetsComeFromFilesNamedByIdOrUrl) {
  writeWholeFile("logo.gif", "GIF89a");
  writeWholeFile("story.txt", std::string("line\0more", 9));

  txn::DataRequestByUrl byUrl("logo-id", "http://server.example/assets/logo.gif");
  mTransport.mUrl = byUrl.getUrl();
  std::unique_ptr<txn::Response> single = run(byUrl, {0, 5, 4});
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(mTransport.mResponseHeaders.at("Content-Type"), "image/gif");
  const auto& block = *static_cast<txn::DataResponse&>(*single).getBlocks().at(0);
  EXPECT_EQ(block.getContentId(), "logo-id");
  EXPECT_EQ(block.getContentType(), "image/gif");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.getBytes()), block.getLength()), "GIF89a");

  txn::DataRequestByIds byIds;
  for (const char* id : {"story.txt", "missing.jpg", "logo.gif"}) byIds.addId(id);
  LogCapture log;
  std::unique_ptr<txn::Response> multi = run(byIds, {0, 5, 4});
  EXPECT_EQ(mTransport.mRequestHeaders,
            (DcdTransport::HeaderMap{{"X-FL-Request-Id", "logo.gif,missing.jpg,story.txt"}, {"X-FL-RequestType", "data"}}));
  EXPECT_TRUE(log.contains("Could not find data file named missing.jpg. Skipping this asset."));
  const std::string body(mTransport.mResponseBody.get(), static_cast<std::size_t>(mTransport.mResponseLength));
  EXPECT_EQ(body.rfind("Content-Type: multipart/mixed; boundary=\"foobar123-1234\"\r\n\r\n--foobar123-1234\r\n", 0), 0u)
      << body;
  ASSERT_NE(multi, nullptr);
  const auto& blocks = static_cast<txn::DataResponse&>(*multi).getBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0]->getContentId(), "logo.gif");
  EXPECT_EQ(blocks[0]->getContentType(), "image/gif");
  EXPECT_EQ(blocks[1]->getContentId(), "story.txt");
  EXPECT_EQ(blocks[1]->getContentType(), "text/plain");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(blocks[1]->getBytes()), blocks[1]->getLength()),
            std::string("line\0more", 9));
}

TEST_F(FileBinding, UnservableRequestsAndFilesFail) {
  writeWholeFile("get-response.xml", testData("get-response.xml"));
  txn::GetRequest get;
  std::unique_ptr<txn::Response> response = run(get, {0, 5, 4});
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->getType(), "GetResponse");

  // A FIFO or an empty file is never served (and a FIFO does not block).
  ASSERT_EQ(mkfifo("pipe.gif", 0600), 0);
  writeWholeFile("empty.gif", "");
  for (const char* url : {"http://server.example/pipe.gif", "http://server.example/empty.gif", "no-slash.gif"}) {
    SCOPED_TRACE(url);
    txn::DataRequestByUrl asset("id", url);
    mTransport.mUrl = url;
    EXPECT_EQ(run(asset, {0, 5, 2}), nullptr);
  }

  // Requests whose headers or body do not fit the binding.
  struct Case {
    const char* name;
    DcdTransport::HeaderMap headers;
    std::string body;
    const char* logLine;
  } cases[] = {
      {"no content type", {}, "<dcd/>", "Not sending. No Content-Type header specified."},
      {"other content type", {{"Content-Type", "text/xml"}}, "<dcd/>", "Encountered an unsupported content-type."},
      {"no body", {{"Content-Type", txn::kDcdMimeType}}, "", "No request body. Ignoring."},
      {"ids header without ids", {{"X-FL-RequestType", "data"}, {"X-FL-Request-Id", ","}}, "",
       "Encountered a data request that did not specify any ids."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DcdFileTransport transport;
    transport.mRequestHeaders = c.headers;
    if (!c.body.empty()) transport.setRequestBody(c.body.data(), static_cast<int32_t>(c.body.size()));
    LogCapture log;
    EXPECT_EQ(transport.send(), DcdTransport::SEND_FAILURE);
    EXPECT_EQ(transport.mStatusCode, -1);
    EXPECT_TRUE(log.contains(c.logLine)) << log.text();
  }
}

}  // namespace
