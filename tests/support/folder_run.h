#pragma once
// A folder's files converted as terminelle-cli converts them, through the
// programs' own folder run: listed by the scanner, committed in batches.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "run/folderrun.h"
#include "scan/scrutedossier.h"

// Converts the files of folder (not of its sub-folders) that match filter,
// each as how says; listed, when given, is called with each file's path
// once the scanner has listed it, before the schedule gets it. The results
// come in the walk's order.
inline std::vector<VisitResult> ConvertFolder(
    const std::string& folder, const Conversion& how,
    const std::function<void(const std::string& path)>& listed = {},
    const std::string& filter = "*") {
  struct Collect : RunTeller {
    Collect(const Conversion& h, const std::function<void(const std::string&)>& l)
        : how(h), listed(l) {}
    bool Choose(Visit& visit) override {
      if (listed) listed(visit.Path.Text());
      visit.How = how;
      return true;
    }
    void Told(std::vector<VisitResult>& told) override {
      for (VisitResult& r : told) results.push_back(std::move(r));
    }
    const Conversion& how;
    const std::function<void(const std::string&)>& listed;
    std::vector<VisitResult> results;
  } collect(how, listed);
  FolderRun run(FolderRunOptions{}, collect);
  TScruteDossier scanner;
  scanner.SetDossier(folder);
  scanner.SetFiltre(filter);
  scanner.SetMaxPenetration(0);
  run.Walk(scanner);
  return std::move(collect.results);
}
