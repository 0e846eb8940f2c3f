// Writes the Kdenlive descriptors of the nine frei0r plug-ins, one XML file each, from what the
// bridge makes of the plug-ins' own descriptors:   kt3_kdenlive_xml OUTPUT_DIRECTORY
// Transitions get <transition>, Fog an <effect>. Defaults are frei0r values (what Kdenlive 22.12
// reads them as); sliders show their own units through `factor`.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bridge.h"
#include "param_vocabulary.h"
#include "string_catalogue.h"

namespace {

namespace fs = std::filesystem;


std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// Kdenlive separates the entries' texts with commas: a comma inside a text becomes a semicolon.
std::string listText(std::string text) {
  for (char& c : text) c = c == ',' ? ';' : c;
  return text;
}

void writeParam(std::ostream& out, const kt3frei0r::BridgeParam& p) {
  using Role = kt3frei0r::BridgeParam::Role;
  const std::string name = escaped(p.name);
  switch (p.role) {
    case Role::Progress:
      // As Kdenlive's own wipe: a switch between two animations, which Kdenlive saves whole (an
      // animated parameter's "0=0;-1=1" default is saved as its first keyframe alone). Ticked, the
      // transition runs backwards.
      out << "  <parameter type=\"switch\" name=\"" << name
          << "\" default=\"0=0;-1=1\" min=\"0=0;-1=1\" max=\"0=1;-1=0\">\n"
          << "    <name>Backwards</name>\n"
          << "    <comment>" << escaped(p.explanation) << ": from 0 to 1 over the transition, or from 1 to 0 "
          << "when ticked</comment>\n"
          << "  </parameter>\n";
      return;
    case Role::Frames:
      // %out: the new transition's last frame counted from its first, its length in steps.
      out << "  <parameter type=\"constant\" name=\"" << name << "\" default=\"%out\" min=\"0\" max=\""
          << p.max << "\" factor=\"1\" suffix=\"frames\">\n";
      break;
    case Role::Slider:
      // Kdenlive 22.12 reads the default as the frei0r value and shows value * factor; it ignores
      // `offset`. The bridge's double is value / max, so factor = max shows the slider's own units.
      out << "  <parameter type=\"constant\" name=\"" << name << "\" default=\""
          << number(kt3frei0r::numberFromNative(p, p.nativeDefault)) << "\" min=\"" << p.min << "\" max=\""
          << p.max << "\" factor=\"" << p.max << "\" suffix=\"" << escaped(p.unit) << "\">\n";
      break;
    case Role::Choice: {
      std::string values;
      std::string texts;
      for (size_t k = 0; k < p.entries.size(); ++k) {
        values += (k ? ";" : "") + number(kt3frei0r::numberFromNative(p, static_cast<int64_t>(k)));
        texts += (k ? "," : "") + listText(p.entries[k]);
      }
      out << "  <parameter type=\"list\" name=\"" << name << "\" default=\"" << number(p.defaultNumber)
          << "\" paramlist=\"" << values << "\">\n"
          << "    <paramlistdisplay>" << escaped(texts) << "</paramlistdisplay>\n";
      break;
    }
    case Role::Colour: {
      char colour[16];
      std::snprintf(colour, sizeof colour, "0x%02x%02x%02xff",
                    static_cast<unsigned>(p.defaultColour.r * 255.0f + 0.5f),
                    static_cast<unsigned>(p.defaultColour.g * 255.0f + 0.5f),
                    static_cast<unsigned>(p.defaultColour.b * 255.0f + 0.5f));
      out << "  <parameter type=\"color\" name=\"" << name << "\" default=\"" << colour << "\">\n";
      break;
    }
  }
  out << "    <name>" << escaped(p.label) << "</name>\n"
      << "    <comment>" << escaped(p.explanation) << "</comment>\n"
      << "  </parameter>\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kt3_kdenlive_xml OUTPUT_DIRECTORY\n");
    return 2;
  }
  const fs::path directory = argv[1];
  std::error_code error;
  fs::create_directories(directory, error);
  int status = 0;
  for (const ophost::KnownEffect& effect : ophost::knownEffects()) {
    std::string problem;
    const std::string name(effect.name);
    const auto params = kt3frei0r::describe({name.c_str()}, &problem);
    if (!problem.empty()) {
      std::fprintf(stderr, "kt3_kdenlive_xml: %s: %s\n", name.c_str(), problem.c_str());
      status = 1;
      continue;
    }
    const std::string id = "frei0r.kt3_" + ophost::lowerCase(name);
    const char* element = effect.filter ? "effect" : "transition";
    std::ostringstream out;
    out << "<?xml version=\"1.0\"?>\n<!DOCTYPE kpartgui>\n"
        << "<" << element << " tag=\"" << id << "\" id=\"" << id << "\">\n"
        << "  <name>" << name << "</name>\n"
        << "  <description>" << escaped(std::string(effect.summary))
        << "</description>\n"
        << "  <author>KT3 operators</author>\n";
    for (const auto& p : params) writeParam(out, p);
    out << "</" << element << ">\n";
    const fs::path file = directory / ("kt3_" + ophost::lowerCase(name) + ".xml");
    std::ofstream stream(file);
    stream << out.str();
    if (!stream) {
      std::fprintf(stderr, "kt3_kdenlive_xml: cannot write %s\n", file.c_str());
      status = 1;
    }
  }
  return status;
}
