// What the exposure report tells a person, from the report alone: the
// summary sentence with the password, listings, uploads and HTTPS each on
// and off, and the Share page's lines about what a visitor meets.

#include <gtest/gtest.h>

#include <string>

#include "app/exposure_check.h"

namespace vt {
namespace {

// A report as a check of /srv/pub would leave it: 12 files of 3 Kb.
TExposureReport Report() {
  TExposureReport report;
  report.PubDir = "/srv/pub";
  report.Audience = "Anyone who can reach this computer";
  report.Files = 12;
  report.Bytes = 3072;
  return report;
}

TEST(ExposureSentences, TheSummarySaysWhoCanDoWhatWithTheFiles) {
  const struct {
    const char* why;
    bool password;
    const char* user;
    bool listings;
    bool uploads;
    bool https;
    const char* summary;
  } cases[] = {
      {"nothing asked, nothing listed", false, "", false, false, false,
       "Anyone who can reach this computer can read 12 files (3 Kb); nothing to warn about"},
      {"a password for any user name", true, "", false, false, false,
       "Anyone who can reach this computer, with the password, can read 12 files (3 Kb); nothing to warn "
       "about"},
      {"a password and its user name", true, "ann", false, false, false,
       "Anyone who can reach this computer, with the password of user ann, can read 12 files (3 Kb); "
       "nothing to warn about"},
      {"listings let visitors find every file", false, "", true, false, false,
       "Anyone who can reach this computer can list and read 12 files (3 Kb); nothing to warn about"},
      {"uploads behind the password", true, "", false, true, false,
       "Anyone who can reach this computer, with the password, can read 12 files (3 Kb) and upload files "
       "to /srv/pub/in; nothing to warn about"},
      {"uploads for anyone warn", false, "", false, true, false,
       "Anyone who can reach this computer can read 12 files (3 Kb) and upload files to /srv/pub/in; "
       "warning: uploads without a password"},
      {"HTTPS says so", true, "ann", true, false, true,
       "Anyone who can reach this computer, with the password of user ann, can list and read 12 files "
       "(3 Kb) over HTTPS; nothing to warn about"},
  };
  for (const auto& c : cases) {
    TExposureReport report = Report();
    report.Password = c.password;
    report.User = c.user;
    report.Listings = c.listings;
    report.Uploads = c.uploads;
    report.UploadFolder = "in/";
    report.Https = c.https;
    EXPECT_EQ(c.summary, report.Summary()) << c.why;
    EXPECT_EQ(c.uploads && !c.password, report.Warns()) << c.why;
  }
}

TEST(ExposureSentences, TheShareLinesSayWhatAVisitorMeets) {
  const struct {
    const char* why;
    bool listings;
    const char* index;
    const char* visitors;
  } visitors[] = {
      {"listings on: the index matters not", true, "index.html", "Visitors see a list of the files"},
      {"a default document shows", false, "index.htm", "Visitors see /srv/pub/index.htm"},
      {"neither: exact addresses only", false, "",
       "Visitors need exact addresses: /srv/pub has no index.html and folder listings are off"},
  };
  for (const auto& c : visitors) {
    TExposureReport report = Report();
    report.Listings = c.listings;
    report.DefaultDocument = c.index;
    EXPECT_EQ(c.visitors, VisitorsText(report)) << c.why;
  }

  const struct {
    const char* why;
    bool uploads;
    bool password;
    const char* folder;
    int max_mib;
    const char* text;
  } uploads[] = {
      {"off", false, false, "", 4096, "Visitors cannot upload files"},
      {"into the folder itself, behind the password", true, true, "", 4096,
       "Visitors can upload files of up to 4 GB into /srv/pub"},
      {"into a sub-folder, for anyone", true, false, "/drop", 100,
       "Visitors can upload files of up to 100 MB into /srv/pub/drop; anyone can: there is no password"},
      {"a size between gigabytes", true, true, "drop", 1536,
       "Visitors can upload files of up to 1.5 GB into /srv/pub/drop"},
  };
  for (const auto& c : uploads) {
    TExposureReport report = Report();
    report.Uploads = c.uploads;
    report.Password = c.password;
    report.UploadFolder = c.folder;
    report.MaxUploadMiB = c.max_mib;
    EXPECT_EQ(c.text, UploadsText(report)) << c.why;
  }

  const struct {
    const char* why;
    bool https;
    const char* fingerprint;
    bool password;
    bool local_only;
    const char* text;
  } https[] = {
      {"on, fingerprint known", true, "AB:CD:EF", true, false, "HTTPS on (fingerprint AB:CD:EF)"},
      {"on, fingerprint not known yet", true, "", false, false, "HTTPS on"},
      {"off, no password", false, "", false, false,
       "HTTP only: anyone on your network can read what you share"},
      {"off, with a password", false, "", true, false,
       "HTTP only: anyone on your network can read what you share, and the password"},
      {"off, this computer only", false, "", true, true, "HTTP only: nothing leaves this computer"},
  };
  for (const auto& c : https) {
    TExposureReport report = Report();
    report.Https = c.https;
    report.HttpsFingerprint = c.fingerprint;
    report.Password = c.password;
    report.LocalOnly = c.local_only;
    EXPECT_EQ(c.text, HttpsText(report)) << c.why;
  }
}

TEST(ExposureSentences, AFolderThatCannotBeCheckedSaysOnlyThat) {
  TExposureReport report = Report();
  report.Problem = "Published folder /srv/pub cannot be checked: No such file or directory";
  report.Listings = true;
  EXPECT_EQ(report.Problem, report.Summary());
  EXPECT_EQ("", VisitorsText(report));
  EXPECT_EQ(std::vector<std::string>{report.Problem}, report.Details());
}

}  // namespace
}  // namespace vt
