#pragma once
// A folder's files converted as terminelle-cli converts them: listed by the
// scanner, each handed to a schedule as a visit, committed in batches.

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "convert/schedule.h"
#include "platform/process.h"
#include "scan/scrutedossier.h"

// Converts the files of folder (not of its sub-folders) that match filter,
// each as how says; listed, when given, is called with each file's path
// once the scanner has listed it, before the schedule gets it. The results
// come in the walk's order.
inline std::vector<VisitResult> ConvertFolder(
    const std::string& folder, const Conversion& how,
    const std::function<void(const std::string& path)>& listed = {},
    const std::string& filter = "*") {
  NewFileMode();
  std::vector<VisitResult> results;
  Schedule schedule(ScheduleOptions{}, [&](std::vector<VisitResult>& told) {
    for (VisitResult& r : told) results.push_back(std::move(r));
  });
  TScruteDossier scanner;
  scanner.SetDossier(folder);
  scanner.SetFiltre(filter);
  scanner.SetMaxPenetration(0);
  scanner.OnFichier = [&](TObject*, std::string nom) {
    if (listed) listed(nom);
    Visit visit;
    visit.Key = FileKey{scanner.Device, scanner.Inode,
                        scanner.Inode == 0 ? scanner.Entry.Identity() : std::string()};
    visit.Path = scanner.Entry.Chain();
    visit.Entry = scanner.Entry;
    visit.How = how;
    schedule.Add(std::move(visit), {});
  };
  scanner.OnEchec = [&](TObject*, std::string, std::string message) {
    schedule.AddFailure(scanner.FailedFolder, std::move(message));
  };
  scanner.Execute();
  schedule.Close();
  while (!schedule.WaitDone(std::chrono::milliseconds(100))) {
  }
  return results;
}
