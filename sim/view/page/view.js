// view
