// Keeps the overview's figures and charts current without reloading the
// page: every five seconds it asks the server for LIVE.VXCMD and puts the
// figures into the elements that show them.
(function () {
  "use strict";
  var live = document.getElementById("live");
  if (!live || !window.fetch) return;
  var source = live.getAttribute("data-source");
  var state = document.getElementById("live-state");
  var fields = {
    "uptime": "uptime",
    "users": "users",
    "max-users": "maxUsers",
    "channels": "channels",
    "bytes-sent": "bytesSent",
    "packets-sent": "packetsSent",
    "bytes-received": "bytesReceived",
    "packets-received": "packetsReceived"
  };

  function show(figures) {
    Object.keys(fields).forEach(function (id) {
      var element = document.getElementById(id);
      var value = figures[fields[id]];
      if (element && value !== undefined) element.textContent = String(value);
    });
    var charts = document.getElementById("live-charts");
    // The charts are markup the server builds from numbers alone.
    if (charts && typeof figures.charts === "string") charts.innerHTML = figures.charts;
    if (state) state.textContent = "Updated every 5 seconds; last at " +
        new Date().toLocaleTimeString() + ".";
  }

  function update() {
    fetch(source, { credentials: "same-origin", cache: "no-store" })
      .then(function (response) {
        if (!response.ok) throw new Error("status " + response.status);
        return response.json();
      })
      .then(show)
      .catch(function () {
        if (state) state.textContent = "The figures could not be updated; reload the page or sign in again.";
      });
  }

  update();
  window.setInterval(update, 5000);
})();
