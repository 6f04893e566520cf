// A large FLP 2.0 content-update answer for the benchmark, made in memory:
// channels x items, each item with a lifespan, title, summary, launch URL
// and display count, and no asset references (the asset phase stays empty).
// 200 x 100 gives about 13 MB and 20,200 objects. Deterministic: the same
// arguments give the same bytes.
#pragma once

#include <cstdio>
#include <string>

namespace flp2bench {

inline std::string largeAnswer(int channels, int itemsPerChannel) {
  std::string out;
  out.reserve(static_cast<size_t>(channels) * itemsPerChannel * 680 + 4096);
  char buf[2048];
  out +=
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dcd version=\"0.8\">\n"
      "<content-update-response tid=\"1\">\n<result code=\"200\" description=\"OK\"/>\n"
      "<application id=\"x-oma-kestrova:quorvel.ua\" name=\"NewsReader\" sync-anchor=\"bench-next\" "
      "update-ttl=\"3600\" absent-mode=\"remove\">\n";
  for (int c = 0; c < channels; ++c) {
    std::snprintf(buf, sizeof buf,
                  "<content-set id=\"ch%03d\" name=\"feed\" sync-anchor=\"ch%03d-a1\" container=\"container1\" "
                  "absent-mode=\"remove\" order=\"%d\">\n"
                  "<content name=\"title\">Channel %d</content>\n"
                  "<content name=\"summary\">The stories of channel %d, refreshed every hour.</content>\n"
                  "<content name=\"layout\">cs</content>\n"
                  "<content name=\"template\" content-id=\"default\"/>\n",
                  c, c, c + 1, c, c);
    out += buf;
    for (int i = 0; i < itemsPerChannel; ++i) {
      std::snprintf(buf, sizeof buf,
                    "<content-set id=\"ch%03d-it%03d\" name=\"item\" priority=\"%d\" display-timer=\"10\">\n"
                    "<lifespan><activation>2026-01-01T08:00:00+01:00</activation>"
                    "<expiration>2099-01-08T08:00:00Z</expiration></lifespan>\n"
                    "<content name=\"title\">Channel %d, story %d: council approves the harbour plan after a "
                    "long night of debate</content>\n"
                    "<content name=\"summary\">Story %d of channel %d. The vote was close, the public gallery "
                    "was full and the mayor spoke for twenty minutes; work on the quay starts in "
                    "spring.</content>\n"
                    "<content name=\"launchurl\">http://news.example/channels/ch%03d/stories/story-%03d.html</content>\n"
                    "<content name=\"displaycount\">%d</content>\n"
                    "</content-set>\n",
                    c, i, i % 10 == 0 ? 0 : 1000, c, i, i, c, c, i, 1 + i % 5);
      out += buf;
    }
    out += "</content-set>\n";
  }
  out += "</application>\n</content-update-response>\n</dcd>\n";
  return out;
}

}  // namespace flp2bench
