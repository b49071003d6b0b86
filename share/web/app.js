// The little the pages need from a script: a confirmation before a form that deletes, a filter
// box over a table, the dial plan test and the check of a new extension number. The pages work
// without it.
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
// AJAX: ajax.htm answers a small text; without the script the forms below do nothing harmful.
function ask(params, done) {
  fetch("ajax.htm?" + new URLSearchParams(params).toString(), { credentials: "same-origin" })
    .then(function (r) { return r.ok ? r.text() : ""; })
    .then(done, function () { done(""); });
}
// A form with data-ajax sends its fields as that action and shows the answer in its output.
document.querySelectorAll("form[data-ajax]").forEach(function (form) {
  form.addEventListener("submit", function (e) {
    e.preventDefault();
    var params = new URLSearchParams(new FormData(form));
    params.set("action", form.getAttribute("data-ajax"));
    ask(params, function (text) { form.querySelector("output").textContent = text; });
  });
});
// An input with data-verify tells whether the extension number is free in the form's domain.
document.querySelectorAll("input[data-verify]").forEach(function (input) {
  var out = document.getElementById(input.getAttribute("data-verify"));
  input.addEventListener("change", function () {
    var params = { action: "verify_extension", number: input.value };
    if (input.form.elements.domain) params.domain = input.form.elements.domain.value;
    ask(params, function (word) { out.textContent = out.getAttribute("data-" + word) || ""; });
  });
});
