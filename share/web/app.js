// The little the pages need from a script: a confirmation before a form that deletes, and a
// filter box over a table. The pages work without it.
"use strict";
document.addEventListener("submit", function (e) {
  var text = e.target.getAttribute("data-confirm");
  if (text && !window.confirm(text)) e.preventDefault();
});
document.querySelectorAll("input.filter").forEach(function (box) {
  var table = document.getElementById(box.getAttribute("data-filter"));
  if (!table) return;
  box.addEventListener("input", function () {
    var want = box.value.toLowerCase();
    table.querySelectorAll("tbody tr").forEach(function (row) {
      row.hidden = want !== "" && row.textContent.toLowerCase().indexOf(want) < 0;
    });
  });
});
