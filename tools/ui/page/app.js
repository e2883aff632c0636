"use strict";
// The station's state as text, from the event stream.
(function () {
  const state = document.getElementById("state");
  const lost = document.querySelector("[data-testid=connection-lost]");
  const events = new EventSource("/api/events");
  events.addEventListener("state", function (event) {
    lost.hidden = true;
    state.textContent = JSON.stringify(JSON.parse(event.data), null, 2);
  });
  events.addEventListener("error", function () {
    lost.hidden = false;
  });
})();
