// A large FLP 1.x sync package for the benchmark, made in memory: feeds x
// entries, each entry with title, summary, link, two contents (one by id,
// one by URL), issued, activation and expiration. 200 x 100 gives about 11
// MB. Deterministic: the same arguments give the same bytes.
#pragma once

#include <cstdio>
#include <string>

namespace flp1xbench {

inline std::string largeSyncPkg(int feeds, int entriesPerFeed) {
  std::string out;
  out.reserve(static_cast<size_t>(feeds) * entriesPerFeed * 600 + 4096);
  char buf[1024];
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sync-pkg>\n<meta>\n";
  out += "<global-meta anchor=\"bench-anchor\" ttl=\"3600000\" server-time=\"1767225600000\"/>\n";
  out += "<generator url=\"http://flp.example/server\" version=\"1.6\"/>\n";
  for (int f = 0; f < feeds; ++f) {
    std::snprintf(buf, sizeof buf,
                  "<feed-meta ctxt-id=\"f%03d\" anchor=\"f%03d-a1\" target=\"idle\" order=\"%d\" feed-name=\"Feed %d\"/>\n",
                  f, f, f + 1, f);
    out += buf;
  }
  out += "</meta>\n";
  for (int f = 0; f < feeds; ++f) {
    std::snprintf(buf, sizeof buf,
                  "<feed ctxt-id=\"f%03d\" version=\"1\" template-id=\"tpl-channel\" entry-type=\"cs\" "
                  "entry-template-id=\"tpl-entry\" entry-template-href=\"http://flp.example/tpl/entry.xml\">\n"
                  "<title>Feed %d</title>\n<summary>The stories of feed %d.</summary>\n"
                  "<link rel=\"alternate\" type=\"text/html\" href=\"http://news.example/f%03d/\"/>\n",
                  f, f, f, f);
    out += buf;
    for (int e = 0; e < entriesPerFeed; ++e) {
      std::snprintf(buf, sizeof buf,
                    "<entry ctxt-id=\"f%03d-e%03d\" entry-type=\"%s\" order=\"%d\">\n"
                    "<title>Feed %d, story %d: markets move and the weather turns</title>\n"
                    "<summary>Summary of story %d in feed %d, long enough to look like the teaser line a "
                    "reader sees on the idle screen.</summary>\n"
                    "<link rel=\"alternate\" type=\"text/html\" href=\"http://news.example/f%03d/e%03d\"/>\n"
                    "<content type=\"image/jpeg\" name=\"image\" ctxt-id=\"img-f%03d-e%03d\"/>\n"
                    "<content type=\"image/gif\" name=\"icon\" ctxt-id=\"icon-f%03d\" "
                    "href=\"http://flp.example/assets/icon-f%03d.gif\"/>\n"
                    "<issued>1767225000000</issued>\n"
                    "<activation type=\"rel\">0</activation><expiration>1767312000000</expiration>\n"
                    "</entry>\n",
                    f, e, e % 10 == 0 ? "csio" : "cs", e + 1, f, e, e, f, f, e, f, e, f, f);
      out += buf;
    }
    out += "</feed>\n";
  }
  out += "</sync-pkg>\n";
  return out;
}

}  // namespace flp1xbench
