"use strict";

// The page is a view of the tool's snapshot: every change arrives on the
// event stream and the whole page is drawn again from it. The page keeps
// only what the tool cannot know: a request in flight, the answer to the
// last upload, the records filter.

const RECONNECT_DELAY_MS = 2000;   // after the stream was closed for good (e.g. refused); EventSource retries the rest itself
const FILTER_DELAY_MS = 300;       // typing in the serial filter: one query once the typing pauses
const RECORDS_LIMIT = 200;         // rows shown; the CSV download has them all
const SHA256_SHOWN_DIGITS = 12;    // enough to tell images apart at a glance; the full one is its tooltip

const PHASE_WORDS = { search: "looking for the device", erase: "erasing", upload: "writing", restart: "restarting" };
const OUTCOME_WORDS = { ok: "Done", failed: "Failed", cancelled: "Stopped", interrupted: "Cut off", running: "Running",
                        unfinished: "Unfinished" };
// Firmware in a format with addresses, sealed by the tool into an image from address 0.
const FORMAT_WORDS = { ihex: "an Intel HEX file", srec: "an S-record file", elf: "an ELF file" };
const OUTCOME_FILTERS = ["ok", "failed", "cancelled"];  // what the tool's records filter takes

const view = {
  snapshot: null,
  connected: false,
  uploading: false,
  uploadError: null,      // an upload the tool answered without changing its snapshot (too large, malformed)
  busy: false,            // a flash or stop request in flight
  recordsVersion: null,
  recordsAsked: 0,         // the records asked for last: an answer to an earlier question is dropped
};

const $ = (id) => document.getElementById(id);

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === "className") node.className = value;
    else node.setAttribute(name, value);
  }
  for (const child of children) node.append(child);
  return node;
}

function show(node, text) {
  node.textContent = text || "";
  node.hidden = !text;
}

function formatBytes(size) {
  const exact = size.toLocaleString("en-US") + " bytes";
  if (size < 1024) return exact;
  const units = ["KiB", "MiB"];
  let value = size / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit += 1; }
  return exact + " (" + value.toFixed(1) + " " + units[unit] + ")";
}

function formatSeconds(seconds) {
  if (seconds === null || seconds === undefined || seconds === "") return "";
  const value = Number(seconds);
  if (!Number.isFinite(value)) return String(seconds);
  return (value < 1 ? value.toFixed(2) : value.toFixed(1)) + " s";
}

// The records' times are UTC; the bench reads its own clock.
function formatTime(iso) {
  const time = new Date(iso);
  return iso && !Number.isNaN(time.getTime()) ? time.toLocaleString() : String(iso || "");
}

async function post(path, body, contentType) {
  const options = { method: "POST", credentials: "same-origin", cache: "no-store", body: body };
  if (contentType) options.headers = { "Content-Type": contentType };
  const response = await fetch(path, options);
  let answer = {};
  try {
    answer = await response.json();
  } catch (_) {
    answer = {};
  }
  if (!response.ok) {
    const sentence = answer && typeof answer.error === "string" ? answer.error
      : "The tool answered " + response.status + " " + response.statusText + ".";
    const failure = new Error(sentence);
    failure.status = response.status;
    throw failure;
  }
  return answer;
}

function postJson(path, value) {
  return post(path, JSON.stringify(value), "application/json");
}

function unreachable(error) {
  // fetch rejects with a TypeError when no answer came at all.
  return error instanceof TypeError ? "The update tool did not answer. Check that it is still running." : error.message;
}

// Sets what changed only: text being selected (a SHA-256 to copy) stays selected while progress streams in.
function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

function changed(node, value) {
  const key = JSON.stringify(value);
  if (node.dataset.drawn === key) return false;
  node.dataset.drawn = key;
  return true;
}

function imageDetails(image) {
  const list = element("dl");
  const rows = [["Name", image.name, false], ["Size", formatBytes(image.size), false],
                ["CRC", image.crc, true], ["SHA-256", image.sha256, true]];
  if (image.format && image.format !== "image") rows.push(["Sealed from", FORMAT_WORDS[image.format] || image.format, false]);
  for (const [term, value, mono] of rows) {
    list.append(element("dt", {}, term), element("dd", mono ? { className: "mono" } : {}, String(value)));
  }
  return list;
}

function renderImage(snapshot) {
  const summary = $("image-summary");
  if (changed(summary, snapshot.image)) {
    summary.replaceChildren(snapshot.image ? imageDetails(snapshot.image)
      : element("p", { className: "empty" }, "No image chosen yet."));
  }

  const input = $("image-input");
  $("image-chooser").hidden = snapshot.locked;
  $("image-locked").hidden = !snapshot.locked;
  input.disabled = snapshot.locked || view.uploading || !view.connected;
  $("image-status").textContent = view.uploading ? "Checking the image\u2026" : "";
  show($("image-error"), view.uploadError || snapshot.image_error);
}

function cardFor(device) {
  const card = element("li", { className: "card", "data-testid": "device" });
  card.append(element("h3"), element("dl"), element("p", { className: "state" }),
              element("progress", { max: "100", value: "0", "data-testid": "device-progress" }),
              element("p", { className: "message" }));
  card.dataset.port = device.port;
  return card;
}

function stateWords(device) {
  switch (device.state) {
    case "running": {
      const phase = PHASE_WORDS[device.phase] || "starting";
      return "\u25B6 Updating: " + phase + " \u2013 " + Math.round(device.percent || 0) + " %";
    }
    case "ok": return "\u2714 Done" + (device.seconds !== null && device.seconds !== undefined ? " in " + formatSeconds(device.seconds) : "");
    case "failed": return "\u2716 Failed";
    case "cancelled": return "\u25A0 Stopped";
    default: return "Ready to flash";
  }
}

function fillCard(card, device) {
  const name = device.location || device.port;
  card.dataset.location = device.location || "";
  card.dataset.serial = device.serial || "";
  card.dataset.state = device.state;
  card.setAttribute("aria-label", "Device " + name + ": " + stateWords(device));
  setText(card.querySelector("h3"), name);

  const details = card.querySelector("dl");
  const rows = [["Port", device.port], ["USB serial", device.serial || "none"], ["Product", device.product || "unknown"]];
  if (changed(details, rows)) {
    details.replaceChildren(...rows.flatMap(([term, value]) => [element("dt", {}, term), element("dd", {}, value)]));
  }

  setText(card.querySelector(".state"), stateWords(device));
  const progress = card.querySelector("progress");
  const percent = device.state === "ok" ? 100 : Math.max(0, Math.min(100, Number(device.percent) || 0));
  progress.value = percent;
  progress.hidden = device.state === "waiting";
  progress.setAttribute("aria-label", "Progress of " + name);
  const message = card.querySelector(".message");
  setText(message, device.state === "failed" || device.state === "cancelled" ? device.message || "" : "");
  message.hidden = !message.textContent;
}

function renderDevices(snapshot) {
  const list = $("devices");
  const cards = new Map();
  for (const card of list.children) cards.set(card.dataset.port, card);
  // Cards are kept by port, so that a card being read or focused is not replaced under the eye.
  snapshot.devices.forEach((device, index) => {
    const card = cards.get(device.port) || cardFor(device);
    cards.delete(device.port);
    fillCard(card, device);
    if (list.children[index] !== card) list.insertBefore(card, list.children[index] || null);
  });
  for (const gone of cards.values()) gone.remove();
  $("devices-empty").hidden = snapshot.devices.length > 0;
}

function renderActions(snapshot) {
  const running = snapshot.devices.filter((d) => d.state === "running").length;
  const ready = snapshot.devices.length - running;
  const flash = $("flash-all");
  flash.disabled = !view.connected || view.busy || !snapshot.image || ready === 0;
  // Finished devices are flashed again with the waiting ones; the button says so when none waits.
  const again = ready > 0 && !snapshot.devices.some((d) => d.state === "waiting") ? " again" : "";
  flash.textContent = (ready > 1 ? "Flash all " + ready + " devices" : ready === 1 ? "Flash the device" : "Flash all devices") + again;
  $("stop-all").disabled = !view.connected || view.busy || running === 0;

  let hint = "";
  if (!snapshot.image) hint = "Choose an image first (step 1).";
  else if (snapshot.devices.length === 0) hint = "Plug in a device (step 2).";
  else if (running > 0) hint = running + (running === 1 ? " device is" : " devices are") + " being updated. Do not unplug them.";
  $("flash-hint").textContent = hint;

  const auto = $("auto-flash");
  auto.checked = snapshot.auto;
  auto.disabled = !view.connected || view.busy;
  const others = (snapshot.connected_clients || 0) - 1;
  $("others").hidden = others < 1;
}

function render() {
  const snapshot = view.snapshot;
  $("connection-lost").hidden = view.connected;
  if (!snapshot) {
    for (const id of ["image-input", "flash-all", "stop-all", "auto-flash"]) $(id).disabled = true;
    return;
  }
  renderImage(snapshot);
  renderDevices(snapshot);
  renderActions(snapshot);
}

function recordsQuery() {
  const parameters = new URLSearchParams();
  const serial = $("filter-serial").value.trim();
  const outcome = $("filter-outcome").value;
  if (serial) parameters.set("serial", serial);
  if (outcome) parameters.set("outcome", outcome);
  return parameters;
}

function baseName(path) {
  return path ? String(path).split(/[\\/]/).pop() : "";
}

// A row of the records as `kormelt records --json` has it: started (UTC), usb_serial, image (its path), duration_ms.
function recordRow(record) {
  const outcome = record.outcome || "";
  const outcomeClass = OUTCOME_FILTERS.includes(outcome) ? "outcome-" + outcome : "outcome-other";
  const serial = record.usb_serial || "";
  const row = element("tr", { "data-testid": "record-row", "data-outcome": outcome, "data-serial": serial });
  const image = element("td", {}, baseName(record.image));
  if (record.image_sha256) {
    image.append(element("br"), element("span", { className: "mono", title: "SHA-256 " + record.image_sha256 },
                                        record.image_sha256.slice(0, SHA256_SHOWN_DIGITS)));
  }
  row.append(element("td", { title: record.started || "" }, formatTime(record.started)),
             element("td", {}, record.location || record.port || ""),
             element("td", {}, serial),
             element("td", {}, record.product || ""),
             image,
             element("td", { className: outcomeClass }, OUTCOME_WORDS[outcome] || outcome),
             element("td", {}, record.duration_ms === null || record.duration_ms === undefined
               ? "" : formatSeconds(record.duration_ms / 1000)),
             element("td", {}, record.message || ""));
  return row;
}

async function loadRecords() {
  const parameters = recordsQuery();
  $("records-csv").href = "/api/records.csv" + (parameters.toString() ? "?" + parameters : "");
  parameters.set("limit", String(RECORDS_LIMIT));
  const query = parameters.toString();
  const asked = ++view.recordsAsked;
  try {
    const response = await fetch("/api/records?" + query, { credentials: "same-origin", cache: "no-store" });
    if (!response.ok) throw new Error("The records could not be read (" + response.status + ").");
    const answer = await response.json();
    if (asked !== view.recordsAsked) return;  // newer records, or another filter, were asked for meanwhile
    $("records").replaceChildren(...answer.records.map(recordRow));
    $("records-empty").hidden = answer.records.length > 0;
    $("records-empty").textContent = parameters.has("serial") || parameters.has("outcome")
      ? "No record matches the filter." : "Nothing recorded yet.";
    show($("records-error"), "");
  } catch (error) {
    if (asked === view.recordsAsked) show($("records-error"), unreachable(error));
  }
}

function apply(snapshot) {
  view.snapshot = snapshot;
  render();
  if (snapshot.records_version !== view.recordsVersion) {
    view.recordsVersion = snapshot.records_version;
    loadRecords();
  }
}

function connect() {
  const events = new EventSource("/api/events");
  events.addEventListener("open", () => {
    view.connected = true;
    render();
  });
  events.addEventListener("state", (event) => {
    view.connected = true;
    apply(JSON.parse(event.data));
  });
  events.addEventListener("error", () => {
    view.connected = false;
    render();
    // A stream that dropped is retried by EventSource; one it gave up on (an answer that is no stream) is ours to retry.
    if (events.readyState === EventSource.CLOSED) {
      events.close();
      setTimeout(connect, RECONNECT_DELAY_MS);
    }
  });
}

async function uploadImage() {
  const input = $("image-input");
  const file = input.files[0];
  if (!file) return;
  const form = new FormData();
  form.append("image", file, file.name);
  view.uploading = true;
  view.uploadError = null;
  render();
  try {
    const answer = await post("/api/image", form);
    if (view.snapshot && answer.image) {
      view.snapshot.image = answer.image;
      view.snapshot.image_error = null;
    }
  } catch (error) {
    if (error.status === 422 && view.snapshot) {
      view.snapshot.image = null;
      view.snapshot.image_error = error.message;
    } else {
      // Refused before the tool looked at it (too large, say): the image it had is still the one it uses.
      const kept = view.snapshot && view.snapshot.image ? " The image shown is still the one used." : "";
      view.uploadError = unreachable(error) + kept;
    }
  } finally {
    view.uploading = false;
    input.value = "";  // choosing the same file again, once fixed, uploads it again
    render();
  }
}

async function act(path, body) {
  view.busy = true;
  show($("action-error"), "");
  render();
  try {
    return await postJson(path, body);
  } catch (error) {
    show($("action-error"), unreachable(error));
    return null;
  } finally {
    view.busy = false;
    render();
  }
}

function start() {
  $("image-input").addEventListener("change", uploadImage);
  $("flash-all").addEventListener("click", () => act("/api/flash", {}));
  $("stop-all").addEventListener("click", () => act("/api/stop", {}));
  $("auto-flash").addEventListener("change", async (event) => {
    const wanted = event.target.checked;
    // Shown as asked at once; the tool's answer, or its next snapshot, has the last word.
    if (view.snapshot) view.snapshot.auto = wanted;
    const answer = await act("/api/auto", { enabled: wanted });
    if (view.snapshot) {
      view.snapshot.auto = answer ? answer.auto : !wanted;
      render();
    }
  });

  for (const outcome of OUTCOME_FILTERS) $("filter-outcome").append(element("option", { value: outcome }, OUTCOME_WORDS[outcome]));
  let typing = null;
  $("filter-serial").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(loadRecords, FILTER_DELAY_MS);
  });
  $("filter-outcome").addEventListener("change", loadRecords);
  $("records-filter").addEventListener("submit", (event) => {
    event.preventDefault();
    clearTimeout(typing);
    loadRecords();
  });

  render();
  connect();
}

document.addEventListener("DOMContentLoaded", start);
